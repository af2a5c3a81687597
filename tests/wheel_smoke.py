"""Smoke test of an installed wheel: all five functions, from the installed
module. `make test-wheel` runs it in a fresh venv per interpreter."""

import importlib.metadata
import os
import platform
import sys
import tempfile

import velq

assert velq.__file__.startswith(sys.prefix), f"velq comes from {velq.__file__}, not from {sys.prefix}"
distribution = importlib.metadata.distribution("velq")
tags = [line.split(": ", 1)[1] for line in distribution.read_text("WHEEL").splitlines() if line.startswith("Tag: ")]
if os.environ.get("VELQ_SMOKE_SOURCE_BUILD") == "1":  # installed from the sdist
    assert tags and all(tag.endswith(f"-linux_{os.uname().machine}") for tag in tags), tags
else:
    assert tags and all("-manylinux" in tag for tag in tags), tags

text = '{"name": "x", "tags": ["x", "y"], "n": [1, 2.5]}'
value = {"n": [1.0, 2.5], "name": "x", "tags": ["x", "y"]}
data = velq.dumps(text)
assert velq.loads(data) == value
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "doc.velq")
    assert velq.dump(text, path) is None
    assert velq.load(path) == value
    with open(path, "rb") as file:
        assert file.read() == data
assert velq.loads(velq.emit([{"id": 7}])) == [{"f0": "id", "f1": 7}]
try:
    velq.dumps('[1, "a"]')
except ValueError as error:
    assert str(error) == "Failed to parse VELQ: Mixed array item at /1: String in an array of Int32", error
else:
    raise AssertionError("dumps accepted a mixed array")

# The text scan runs on the vectors of the machine: NEON on aarch64, SSE2 or AVX2 on x86-64.
machine = platform.machine()
expected_roads = {"aarch64": {"neon"}, "x86_64": {"sse2", "avx2"}}.get(machine)
assert expected_roads is None or velq._scan_road in expected_roads, (machine, velq._scan_road)

print(f"velq {distribution.version} ({tags[0]}) on Python {sys.version.split()[0]}: dumps, loads, dump, load, emit work"
      f" (text scan: {velq._scan_road})")
