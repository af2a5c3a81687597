"""What the Python fuzz targets share: the test suite's model of the value
transformations, checks of what loads returns, and the atheris entry point.

Each target is a script run by fuzz/run.sh under the sanitized module; it
raises an exception (which atheris reports as a crash, with the input saved)
whenever the module breaks a documented rule."""

import ctypes
import gc
import math
import os
import pathlib
import re
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

from conftest import assert_identical, expected_from_emit, expected_from_json, f32, f32_of_int  # noqa: E402,F401

import atheris  # noqa: E402

import velq  # noqa: E402

PREFIX = "Failed to parse VELQ: "
# Where the file functions write; one file per process, reused for every input.
_folder = tempfile.TemporaryDirectory(prefix="velq-fuzz-")
PATH = os.path.join(_folder.name, "doc.velq")


class Finding(AssertionError):
    """A broken rule."""


def check(condition, message):
    if not condition:
        raise Finding(message)


def check_value_error(error, call):
    check(type(error) is ValueError, f"{call}: {type(error).__name__} instead of ValueError: {error}")
    check(str(error).startswith(PREFIX), f"{call}: message without the prefix: {error}")


def outcome(function, *args):
    """The value a call returns, or ("raised", type, message)."""
    try:
        return function(*args)
    except Exception as error:  # noqa: BLE001 - the caller checks the type
        return ("raised", type(error), str(error))


# A document at whose end a call's signal poll first runs Python code (the
# poll asks the interpreter every 65536 values), as cheap to read as that
# allows: 65535 nulls.
POLLED_TEXT = "[" + ",".join(["null"] * 65535) + "]"
POLLED_BYTES = velq.dumps(POLLED_TEXT)
POLLED_VALUE = [None] * 65535


def at_a_poll(during, call, argument):
    """call(argument), with during() run by the call's first signal poll:
    a collection is scheduled, and the poll runs it, and with it the
    finalizer of some cyclic garbage. Returns call's outcome, and whether
    during() ran inside the call. An exception during() raises is returned
    as its outcome (a finalizer's own would be lost)."""
    ran = []

    class Garbage:
        def __del__(self):
            try:
                during()
                ran.append(None)
            except BaseException as error:  # noqa: BLE001 - reported by the caller
                ran.append(error)

    threshold = gc.get_threshold()
    gc.disable()
    garbage = Garbage()
    garbage.cycle = garbage
    del garbage
    gc.set_threshold(1)
    gc.enable()
    try:
        # The list is the allocation that schedules the collection; nothing
        # between it and the call lets the interpreter run it sooner.
        result = call(*[argument])
    except BaseException as error:  # noqa: BLE001 - the caller checks the type (a hook may raise anything)
        result = ("raised", type(error), str(error))
    finally:
        gc.set_threshold(*threshold)
    gc.collect(0)  # in case no poll ran it
    if ran and ran[0] is not None:
        raise ran[0]
    return result, bool(ran)


def raised(result):
    return type(result) is tuple and len(result) == 3 and result[0] == "raised"


def same_outcome(actual, expected, what):
    if raised(expected) or raised(actual):
        check(actual == expected, f"{what}: {actual!r} instead of {expected!r}")
    else:
        assert_identical(actual, expected, what)


def byte_order(key):
    return key.encode("utf-8")


def check_loaded(value, where="", depth=1):
    """What loads returns, whatever the bytes: the exact built-in types; ints
    of 32 bits; floats that are finite float32 values; dict keys unique, in
    byte order; containers at most 128 levels deep; and each container held
    only by its parent."""
    kind = type(value)
    if kind in (dict, list):
        check(depth <= 128, f"{where}: a container deeper than 128 levels")
    if kind is dict:
        keys = list(value)
        check(all(type(k) is str for k in keys), f"{where}: key that is not a str")
        check(all(byte_order(a) < byte_order(b) for a, b in zip(keys, keys[1:])), f"{where}: keys out of order")
        for key in keys:
            item = value[key]
            if type(item) in (list, dict):
                # References: the container, `item`, getrefcount's argument.
                check(sys.getrefcount(item) == 3, f"{where}/{key}: {sys.getrefcount(item)} references")
            check_loaded(item, f"{where}/{key}", depth + 1)
    elif kind is list:
        check(len(value) <= 65535, f"{where}: {len(value)} items")
        for index in range(len(value)):
            item = value[index]
            if type(item) in (list, dict):
                check(sys.getrefcount(item) == 3, f"{where}/{index}: {sys.getrefcount(item)} references")
            check_loaded(item, f"{where}/{index}", depth + 1)
    elif kind is int:
        check(-(2**31) <= value < 2**32, f"{where}: {value} does not fit 32 bits")
    elif kind is float:
        check(math.isfinite(value) and f32(value) == value, f"{where}: {value!r} is not a finite float32")
    else:
        check(kind in (str, bool, type(None)), f"{where}: unexpected type {kind.__name__}")


def has_non_finite(value):
    if isinstance(value, dict):
        return any(has_non_finite(v) for v in value.values())
    if isinstance(value, list):
        return any(has_non_finite(v) for v in value)
    return isinstance(value, float) and not math.isfinite(value)


def check_read_back(data, expected, what):
    """loads(data) gives `expected`, or refuses a float that is not finite."""
    result = outcome(velq.loads, data)
    if has_non_finite(expected):
        check(raised(result) and result[1] is ValueError and result[2].startswith(PREFIX + "Cannot represent float"),
              f"{what}: a non-finite float read back as {result!r}")
    else:
        check(not raised(result), f"{what}: loads refused the bytes: {result!r}")
        assert_identical(result, expected, what)
    return result


# LeakSanitizer, asked every so many inputs (every input when replaying):
# the interpreter keeps a few unreachable blocks of its own (frame objects),
# so only a leak whose allocation stack passes through the module fails.
_leak_check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
LEAK_CHECK_EVERY = int(os.environ.get("VELQ_FUZZ_LEAK_CHECK_EVERY", "5000"))
OURS = re.compile(r"velq\.cpython|velq::|" + re.escape(str(ROOT / "src") + "/"))


# Where a leak check's report goes while it runs (standard error is taken over
# meanwhile): a named file when run.sh gives one, so that a check that ends
# the process still leaves its words behind.
LEAK_REPORT = os.environ.get("VELQ_FUZZ_LEAK_REPORT")


def check_leaks():
    if _leak_check is None:
        return
    with (open(LEAK_REPORT, "w+b") if LEAK_REPORT else tempfile.TemporaryFile()) as report:
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(report.fileno(), 2)
        try:
            found = _leak_check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        if not found:
            return
        report.seek(0)
        text = report.read().decode(errors="replace")
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)
    ours = [block for block in blocks if block.startswith(("Direct", "Indirect")) and OURS.search(block)]
    if ours:
        sys.stderr.write("".join(ours))
        raise Finding(f"{len(ours)} leaks through the module")


def main(test_one_input):
    sys.setrecursionlimit(10000)
    sys.set_int_max_str_digits(0)
    runs = 0

    def one_input(data):
        nonlocal runs
        test_one_input(data)
        runs += 1
        if runs % LEAK_CHECK_EVERY == 0:
            check_leaks()

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
