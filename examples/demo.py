"""Compile the bundled sample JSON to VELQ, read it back, and go through a file.

Run after installing velq:  python examples/demo.py
"""

import json
import os
import pathlib
import struct
import sys
import tempfile

import velq

SAMPLE = pathlib.Path(__file__).with_name("sample.json")


def as_float32(value):
    """The value as VELQ stores it: every float at 32-bit precision."""
    if isinstance(value, dict):
        return {key: as_float32(item) for key, item in value.items()}
    if isinstance(value, list):
        return [as_float32(item) for item in value]
    if isinstance(value, float):
        return struct.unpack("<f", struct.pack("<f", value))[0]
    return value


def main():
    text = SAMPLE.read_text(encoding="utf-8")
    original = json.loads(text)
    compact = json.dumps(original, separators=(",", ":"))

    data = velq.dumps(text)
    print(f"{SAMPLE.name}: {len(text.encode())} bytes of JSON ({len(compact.encode())} without whitespace)")
    print(f"velq.dumps: {len(data)} bytes of VELQ ({len(data) / len(compact.encode()):.0%} of the compact JSON)")

    value = velq.loads(data)
    same = value == as_float32(original)
    print(f"velq.loads: {'equal to the JSON, floats at 32-bit precision' if same else 'NOT EQUAL to the JSON'}")
    print(f"  warehouse location {original['warehouse']['location']} -> {value['warehouse']['location']}")
    print(f"  keys come back in byte order: {list(value)}")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sample.velq")
        velq.dump(text, path)
        loaded = velq.load(path)
        print(f"velq.dump / velq.load: {os.path.getsize(path)} bytes on disk, same value: {loaded == value}")

    customers = velq.emit(original["customers"])
    first = velq.loads(customers)[0]
    print(f"velq.emit of the customer list: {len(customers)} bytes; a record reads back as {first}")
    return 0 if same and loaded == value else 1


if __name__ == "__main__":
    sys.exit(main())
