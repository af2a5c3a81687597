"""Helpers shared by the Python tests and the Python fuzz targets: where the
test data is, the value transformations that a VELQ round trip applies (32-bit
numbers, widened number arrays, keys in byte order), and the subclasses and
stand-ins that emit must take by its rules."""

import contextlib
import math
import os
import pathlib
import signal
import struct
import subprocess
import sys
import textwrap

REPO = pathlib.Path(__file__).resolve().parents[2]
# Small documents written for the tests, in the repository.
DATA = REPO / "tests" / "data"
SAMPLES = sorted(DATA.glob("*.json"))
# Real JSON files by others and a conformance corpus, kept outside the
# repository: in $VELQ_SHARED_DIR if set, else in ../shared beside it. The
# tests that need them skip when they are absent (shared_missing).
SHARED = pathlib.Path(os.environ.get("VELQ_SHARED_DIR") or REPO.parent / "shared")
CORPUS = SHARED / "corpus"


def shared_missing(part):
    """The reason to skip a test that needs SHARED / part, or None when it is there."""
    if (SHARED / part).is_dir():
        return None
    return f"needs the shared {part}: ../shared/{part} or $VELQ_SHARED_DIR/{part} (looked in {SHARED / part})"

INT64_MIN, INT64_MAX, UINT64_MAX = -(2**63), 2**63 - 1, 2**64 - 1

# Under fuzz/asan_pytest.sh, whose sanitizer runtime every child process inherits.
UNDER_ASAN = os.environ.get("VELQ_UNDER_ASAN") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")


def leaks_only(pid):
    """Under fuzz/asan_pytest.sh a child's exit status 99 may mean only that
    LeakSanitizer spoke at exit; its report goes to a log file that the script
    judges afterwards (it fails the run on a leak through the module)."""
    options = dict(item.split("=", 1) for item in os.environ.get("ASAN_OPTIONS", "").split(":") if "=" in item)
    if "log_path" not in options:
        return False
    try:
        with open(f"{options['log_path']}.{pid}", errors="replace") as log:
            text = log.read()
    except OSError:
        return False
    return "ERROR: LeakSanitizer" in text and "ERROR: AddressSanitizer" not in text


def run_child(code, timeout=300, env=None):
    """Runs code in a fresh interpreter; returns its stdout, failing on a crash."""
    with subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=env,
    ) as proc:
        try:
            stdout, stderr = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise
    detail = f"exit {proc.returncode}\nstdout:\n{stdout[-3000:]}\nstderr:\n{stderr[-3000:]}"
    assert proc.returncode == 0 or (UNDER_ASAN and proc.returncode == 99 and leaks_only(proc.pid)), detail
    return stdout


@contextlib.contextmanager
def alarm_raising(exception, after=0.05):
    """A SIGALRM handler that raises `exception`, due `after` seconds in."""

    def on_timer(signum, frame):
        raise exception

    previous = signal.signal(signal.SIGALRM, on_timer)
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def f32(x):
    """The float32 nearest to the double x, as a Python float (infinity beyond the range)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def f32_of_int(n):
    """The float32 nearest to the exact integer n (ties to even), rounded once."""
    if n == 0:
        return 0.0
    magnitude, shift = abs(n), abs(n).bit_length() - 24
    if shift > 0:
        kept, rest = divmod(magnitude, 1 << shift)
        half = 1 << (shift - 1)
        if rest > half or (rest == half and kept & 1):
            kept += 1
        magnitude = kept << shift
    return math.copysign(float(magnitude), n)


def low32(n, signed=True):
    n &= 0xFFFFFFFF
    return n - 2**32 if signed and n >= 2**31 else n


def _held_as_double(x):
    """A JSON number that the parser holds as a double (Python's json gives int
    for integers of any size)."""
    return isinstance(x, float) or (type(x) is int and not INT64_MIN <= x <= UINT64_MAX)


def _emitted_as_float(x):
    return type(x) is float or (type(x) is int and not INT64_MIN <= x <= INT64_MAX)


def _is_number(x):
    return type(x) in (int, float)


def expected_from_json(value):
    """What loads(dumps(json.dumps(value))) gives for a value from json.loads."""
    if isinstance(value, dict):
        return {k: expected_from_json(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        if value and all(_is_number(x) for x in value) and any(_held_as_double(x) for x in value):
            return [f32(float(x)) if _held_as_double(x) else f32_of_int(x) for x in value]
        return [expected_from_json(x) for x in value]
    if type(value) is int:
        if INT64_MIN <= value <= INT64_MAX:
            return low32(value)
        if 0 <= value <= UINT64_MAX:
            return low32(value, signed=False)
        return f32(float(value))
    if isinstance(value, float):
        return f32(value)
    return value


def expected_from_emit(value):
    """What loads(emit(value)) gives for a value that emit accepts."""
    if isinstance(value, dict):
        flat = [x for item in value.items() for x in item]
        fields = {f"f{i}": expected_from_emit(x) for i, x in enumerate(flat)}
        return {k: fields[k] for k in sorted(fields)}
    if isinstance(value, list):
        if value and all(_is_number(x) for x in value) and any(_emitted_as_float(x) for x in value):
            return [f32(float(x)) if _emitted_as_float(x) else f32_of_int(x) for x in value]
        return [expected_from_emit(x) for x in value]
    if type(value) is int:
        return low32(value) if INT64_MIN <= value <= INT64_MAX else f32(float(value))
    if isinstance(value, float):
        return f32(value)
    return value


def assert_identical(actual, expected, where=""):
    """Equal values of equal types, dict keys in the same order, signed zeros kept."""
    assert type(actual) is type(expected), f"{where}: {actual!r} is not {expected!r}"
    if isinstance(expected, dict):
        assert list(actual) == list(expected), f"{where}: keys {list(actual)} != {list(expected)}"
        for key in expected:
            assert_identical(actual[key], expected[key], f"{where}/{key}")
    elif isinstance(expected, list):
        assert len(actual) == len(expected), f"{where}: length {len(actual)} != {len(expected)}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_identical(a, e, f"{where}/{i}")
    elif isinstance(expected, float):
        assert actual == expected and math.copysign(1, actual) == math.copysign(1, expected), (
            f"{where}: {actual!r} != {expected!r}"
        )
    else:
        assert actual == expected, f"{where}: {actual!r} != {expected!r}"


# Subclasses of the supported types, which emit takes by their base type
# without calling their methods, and an object that converts through __index__.
class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyList(list):
    def __iter__(self):
        raise AssertionError("emit must not call __iter__")


class MyDict(dict):
    def items(self):
        raise AssertionError("emit must not call items")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
