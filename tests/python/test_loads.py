"""loads and load: VELQ bytes and files back to Python objects."""

import json
import os
import signal
import subprocess

import pytest
from conftest import SAMPLES, alarm_raising, assert_identical, expected_from_json

import velq


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


OBJECT_A_1 = hexbytes("01 0D000000 17000000 1B000000 0100 11 0000 0100 016102 00000000 01000000 0000 06000000 0000 01000000")


@pytest.mark.parametrize(
    "data, value",
    [
        (OBJECT_A_1, {"a": 1}),
        (hexbytes("01 0D000000 13000000 1A000000 0100 10 0000 05 01000000 026869"
                  "01000000 0000 0E000000 0000 0000 0200 FF00000000 02796F"), ["hi", "yo"]),
        # No chunks: null. Two chunks: an array of their values.
        (hexbytes("01 0D000000 0F000000 13000000 0000 00000000 00000000"), None),
        (hexbytes("01 0D000000 15000000 15000000 0200 020000 050100"
                  "02000000 0000 04000000 01000000 0100 02000000 0161"), [1, "a"]),
        # Field order "b", "a" in the definition; the dict comes back in key order.
        (hexbytes("01 0D000000 1A000000 1A000000 0100 11 0000 0200 016202 016105"
                  "01000000 0000 08000000 0000 07000000 0178"), {"a": "x", "b": 7}),
        # UInt32 4294967295 and a Bool byte 0x02 (true).
        (hexbytes("01 0D000000 15000000 15000000 0200 030000 010100"
                  "02000000 0000 04000000 FFFFFFFF 0100 01000000 02"), [4294967295, True]),
    ],
)
def test_documents_read_back(data, value):
    assert_identical(velq.loads(data), value)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "Header requires 13 bytes, got 0"),
        (OBJECT_A_1[:12], "Header requires 13 bytes, got 12"),
        (b"\x02" + OBJECT_A_1[1:], "Unsupported VELQ version: 2"),
        (OBJECT_A_1[:-1], "Entry 0 payload (6 bytes) exceeds buffer"),
        (OBJECT_A_1[:-10] + hexbytes("07000000 0000 01000000 00"), "Mismatch entry 0: consumed 6 of 7"),
        (velq.dumps("1e39"), "Cannot represent float inf"),
        (velq.dumps("[1e39]"), "Cannot represent float inf"),
        (velq.emit(float("nan")), "Cannot represent float NaN"),
    ],
)
def test_refused_bytes(data, message):
    with pytest.raises(ValueError) as info:
        velq.loads(data)
    assert str(info.value) == "Failed to parse VELQ: " + message


# Nothing in a document checks its data, only its structure: a flipped bit in a
# number or a string reads back as other data of the same shape.
@pytest.mark.parametrize(
    "text, flip, value",
    [('{"price": 100}', -4, {"price": 101}), ('["abc"]', -1, ["abb"]), ("[1.5]", -4, [1.5000001192092896])],
)
def test_a_flipped_bit_reads_back_unnoticed(text, flip, value):
    data = bytearray(velq.dumps(text))
    data[flip] ^= 1
    assert velq.loads(bytes(data)) == value


def test_load_reads_files(tmp_path):
    path = tmp_path / "doc.velq"
    value = {"rows": [{"id": i, "name": f"row {i}", "score": i / 4} for i in range(10000)]}
    path.write_bytes(velq.dumps(json.dumps(value)))
    assert path.stat().st_size > 64 * 1024
    assert velq.load(str(path)) == value


@pytest.mark.parametrize(
    "name, message",
    [
        ("missing.velq", f"IO error: {os.strerror(2)} (os error 2)"),
        ("a\0b", "IO error: file name contained an unexpected NUL byte"),
        (".", f"IO error: {os.strerror(21)} (os error 21)"),
        ("empty.velq", "Failed to parse VELQ: Header requires 13 bytes, got 0"),
    ],
)
def test_load_errors(tmp_path, name, message):
    (tmp_path / "empty.velq").write_bytes(b"")
    with pytest.raises(ValueError) as info:
        velq.load(str(tmp_path / name))
    assert str(info.value) == message


def test_load_reads_files_whose_size_is_unknown():
    # /proc files report size 0; their content is still read ("Name:..." starts with byte 78).
    with pytest.raises(ValueError, match="^Failed to parse VELQ: Unsupported VELQ version: 78$"):
        velq.load("/proc/self/status")


@pytest.mark.parametrize("path", SAMPLES, ids=lambda path: path.name)
def test_sample_round_trip(path):
    text = path.read_text(encoding="utf-8")
    assert_identical(velq.loads(velq.dumps(text)), expected_from_json(json.loads(text)))


@pytest.mark.parametrize(
    "text",
    [
        '[{"id": 1, "kind": 2}, {"kind": 3, "url": 4}, {"id": 5, "url": 6}, {"id": 7, "kind": 8}]',
        '[{}, {"id": 1, "kind": 2}, {"kind": 3, "url": 4}, {"id": 5, "url": 6}]',
    ],
)
def test_a_name_is_one_str_across_object_shapes(text):
    # Shapes that share names (of more than one character, which the
    # interpreter shares anyway): all keys of one name in the result are one
    # object, whichever shape they came from, the first shape's included.
    result = velq.loads(velq.dumps(text))
    assert_identical(result, json.loads(text))
    for name in ("id", "kind", "url"):
        keys = {id(key) for item in result for key in item if key == name}
        assert len(keys) == 1, name


def test_interrupted_file_calls_are_retried(tmp_path):
    # On a FIFO, open() waits for the other side (a child process: the call
    # holds the interpreter lock), and read() or write() wait while it pauses
    # half-way; a timer interrupts every wait.
    fifo, copy = tmp_path / "fifo", tmp_path / "copy.velq"
    text = json.dumps([{"n": i} for i in range(20000)])
    # The helper programs must not inherit a preloaded sanitizer runtime.
    plain_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    interrupts = []
    previous = signal.signal(signal.SIGALRM, lambda *_: interrupts.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    try:
        os.mkfifo(fifo)
        reader = subprocess.Popen(["sh", "-c", f"sleep 0.3; exec 3<'{fifo}'; dd bs=1000 count=1 <&3 >'{copy}' "
                                   f"2>/dev/null; sleep 0.3; cat <&3 >>'{copy}'"], env=plain_env)
        velq.dump(text, str(fifo))
        reader.wait()
        writer = subprocess.Popen(["sh", "-c", f"sleep 0.3; exec 3>'{fifo}'; head -c 100 '{copy}' >&3; sleep 0.3; "
                                   f"tail -c +101 '{copy}' >&3"], env=plain_env)
        assert velq.load(str(fifo)) == json.loads(text)
        writer.wait()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert copy.read_bytes() == velq.dumps(text)
    assert interrupts


class Stop(Exception):
    pass


# A FIFO that nobody opens from the other side blocks open() for good: a
# signal handler that raises ends the call with its exception, as it ends
# Python's own open().
@pytest.mark.parametrize("call", [velq.load, lambda path: velq.dump("[1]", path)], ids=["load", "dump"])
def test_raising_signal_handler_ends_a_blocked_file_call(tmp_path, call):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    with alarm_raising(Stop), pytest.raises(Stop):
        call(str(fifo))
