"""Faults at the Python boundary.

Failing allocations, hostile objects, containers that change or contain
themselves, file-system errors, resource limits and hostile bytes: each call
must end with its documented exception (or its result), never crash, and leave
no reference, descriptor or file behind. Checks that could crash the
interpreter run in a child process.
"""

import collections
import errno
import gc
import os
import random
import signal
import struct
import subprocess
import sys
import textwrap

import pytest
from conftest import UNDER_ASAN, alarm_raising, run_child

import velq

needs_address_limit = pytest.mark.skipif(
    UNDER_ASAN, reason="AddressSanitizer reserves terabytes of address space, so RLIMIT_AS cannot apply"
)




def io_error(code):
    return f"IO error: {os.strerror(code)} (os error {code})"


def open_fds():
    return len(os.listdir("/proc/self/fd"))


# --- crafted VELQ bytes -----------------------------------------------------------------------


def document(definitions, count, dict_block, data_block):
    dict_offset = 13 + 2 + len(definitions)
    data_offset = dict_offset + len(dict_block)
    header = struct.pack("<BIII", 1, 13, dict_offset, data_offset)
    return header + struct.pack("<H", count) + definitions + dict_block + data_block


def entries(*items):
    return struct.pack("<I", len(items)) + b"".join(struct.pack("<HI", d, len(p)) + p for d, p in items)


def array_def(index, elem):
    return struct.pack("<BHB", 0x10, index, elem)


def object_def(index, fields):
    body = b"".join(bytes([len(name)]) + name + bytes([kind]) for name, kind in fields)
    return struct.pack("<BHH", 0x11, index, len(fields)) + body


def array_value(self_index, count, items=b""):
    return struct.pack("<HHH", self_index, 0, count) + items


BUILTINS = b"".join(struct.pack("<BH", kind, kind) for kind in range(6))
NULL, INT32, STRING, ARRAY, OBJECT = 0, 2, 5, 0x10, 0x11

RICH_JSON = '{"a": [1, 2, 3], "b": {"c": "d\\u00e9", "e": [1.5, 2.5]}, "f": [true, false], "g": null, ' \
            '"h": ["x", "x", "y"], "i": 18446744073709551615, "j": [[1], [2]], "k": {}}'
RICH_VALUE = {"a": [1, 2, 3], "b": {"c": "dé", "e": [1.5, 2.5]}, "f": [True, False], "g": None,
              "h": ["x", "x", "y"], "i": 4294967295, "j": [[1], [2]], "k": {}}


# --- allocation failures ----------------------------------------------------------------------


FAILING_ALLOCATION_SWEEP = """
    import _testcapi, velq
    data = velq.dumps({rich!r})
    calls = {{
        "loads": lambda: velq.loads(data),
        "dumps": lambda: velq.dumps({rich!r}),
        "emit": lambda: velq.emit({{"kéy": [1.5, 2], "s": ["tëxt", "x"], "n": {{"m": True}}}}),
    }}
    call = calls[{name!r}]
    expected = call()
    for once in (True, False):
        failures = 0
        for start in range(400):
            # Fail the start-th allocation only, or every allocation from it on.
            _testcapi.set_nomemory(start, start + 1 if once else 0)
            try:
                result = call()
            except MemoryError:
                result = MemoryError
            except {tolerated} as exc:
                result = type(exc)
            finally:
                _testcapi.remove_mem_hooks()
            if result is MemoryError or result in ({tolerated}):
                failures += 1
            else:
                assert result == expected, (start, result)
        assert failures > 0, "no allocation was made to fail"
    assert call() == expected
    print("ok")
"""


@pytest.mark.parametrize(
    "name, tolerated",
    [
        ("loads", "()"),
        ("dumps", "()"),
        # emit tests a str with PyUnicode_AsUTF8AndSize and drops the error when it fails,
        # so an allocation failure there ends as "Unsupported Python type: 'str'".
        ("emit", "(TypeError,)"),
    ],
)
def test_failing_interpreter_allocations_raise_memory_error(name, tolerated):
    pytest.importorskip("_testcapi")
    code = FAILING_ALLOCATION_SWEEP.format(rich=RICH_JSON, name=name, tolerated=tolerated)
    assert run_child(code).strip() == "ok"


UNDER_ADDRESS_LIMIT = """
    import resource, velq

    def limit_address_space(extra_mb):
        with open("/proc/self/status") as status:
            size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = (size_kb * 1024) + extra_mb * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    {setup}
    limit_address_space({extra_mb})
    try:
        {call}
        print("returned")
    except (MemoryError, ValueError) as exc:
        print(type(exc).__name__, exc)
"""


def amplified_nulls(arrays=0xFFFF):
    """A few hundred KB at most describing `arrays` arrays of 65535 nulls (4.3e9 items by default)."""
    payload = array_value(6, arrays) + array_value(7, 0xFFFF) * arrays
    return document(BUILTINS + array_def(6, ARRAY) + array_def(7, NULL), 8, b"", entries((6, payload)))


class Interrupted(Exception):
    pass


# A signal handler that raises ends a long call rather than waiting for it:
# the handler is due every 10 ms and raises at its third run, which can only
# happen inside the call (a call that ran handlers only after returning, here
# after a second or so, would see them run once or twice, and return; the
# collector stays off so that no long pause follows the return).
LONG_TEXT = "[" + ",".join(["[" + "0," * 65534 + "0]"] * 200) + "]"


@pytest.mark.parametrize("call", [
    lambda: velq.loads(amplified_nulls(1000)),
    lambda: velq.emit([[1.5] * 65535] * 1000),
    lambda: velq.dumps(LONG_TEXT),
    lambda: velq.dump(LONG_TEXT, os.devnull),
], ids=["loads", "emit", "dumps", "dump"])
def test_signal_handler_interrupts_a_long_call(call):
    runs = []

    def on_timer(signum, frame):
        runs.append(signum)
        if len(runs) == 3:
            raise Interrupted

    previous = signal.signal(signal.SIGALRM, on_timer)
    gc.disable()
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        with pytest.raises(Interrupted):
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()


@needs_address_limit
@pytest.mark.parametrize(
    "setup, call",
    [
        # 300 arrays of 65535 integers under one key: valid, but their tree needs far more than
        # the limit. (Were they the items of a top-level array, each would be compiled and its
        # nodes released as soon as it is parsed.)
        ('text = \'{"k":[\' + ",".join(["[" + "0," * 65534 + "0]"] * 300) + "]}"', "velq.dumps(text)"),
        # 1200 arrays of 65535 floats: emit writes no tree, but its 315 MB of output exceed the limit.
        ("value = [[1.5] * 65535] * 1200", "velq.emit(value)"),
        ("blob = open(path, 'rb').read()", "velq.loads(blob)"),
        # A file that never ends.
        ("pass", "velq.load('/dev/zero')"),
    ],
    ids=["dumps", "emit", "loads", "load"],
)
def test_huge_work_under_memory_limit_fails_cleanly(tmp_path, setup, call):
    path = tmp_path / "amplified.velq"
    path.write_bytes(amplified_nulls())
    setup = f"path = {str(path)!r}; {setup}"
    out = run_child(UNDER_ADDRESS_LIMIT.format(setup=setup, call=call, extra_mb=256))
    assert out.startswith("MemoryError") or out.startswith("ValueError"), out


@needs_address_limit
def test_a_long_top_level_array_compiles_within_a_memory_limit():
    """The items of a large top-level array are compiled as they are parsed: the 300 arrays of the
    case above, as items, fit in the memory where their tree alone would not."""
    setup = 'text = "[" + ",".join(["[" + "0," * 65534 + "0]"] * 300) + "]"'
    out = run_child(UNDER_ADDRESS_LIMIT.format(setup=setup, call="velq.dumps(text)", extra_mb=256))
    assert out.startswith("returned"), out


# --- hostile objects --------------------------------------------------------------------------


# Recognised as a NumPy boolean by its type's module and name.
FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})


def raiser(kind):
    def hook(self):
        raise kind("raised inside a conversion hook")
    return hook


def hooked(hook, kind):
    name = "bool_" if hook == "__bool__" else "Hooked"
    return type(name, (), {"__module__": "numpy", hook: raiser(kind)})()


HOOKS = ["__index__", "__float__", "__bool__"]


# A TypeError (no such conversion) or an OverflowError (out of range) means
# "not this kind": the next test decides, and nothing else converts these.
@pytest.mark.parametrize("kind", [TypeError, OverflowError])
@pytest.mark.parametrize("hook", HOOKS)
def test_not_this_kind_errors_give_unsupported_type(hook, kind):
    for wrap in (lambda x: x, lambda x: [x], lambda x: {"k": [1.5, x]}):
        obj = hooked(hook, kind)
        refs = sys.getrefcount(obj)
        with pytest.raises(TypeError) as info:
            velq.emit(wrap(obj))
        assert str(info.value) == f"Unsupported Python type: '{type(obj).__name__}'"
        assert info.value.__context__ is None
        del info
        assert sys.getrefcount(obj) == refs


# Any other error ends the call unchanged, with its traceback.
@pytest.mark.parametrize("kind", [ValueError, RuntimeError, ZeroDivisionError, KeyboardInterrupt, SystemExit,
                                  GeneratorExit, MemoryError])
@pytest.mark.parametrize("hook", HOOKS)
def test_other_errors_in_conversion_hooks_propagate(kind, hook):
    with pytest.raises(kind, match="^raised inside a conversion hook$") as info:
        velq.emit({"k": [1.5, hooked(hook, kind)]})
    assert info.traceback[-1].name == "hook"


def test_an_error_is_not_hidden_by_a_later_conversion():
    class Flaky:
        calls = 0

        def __index__(self):
            Flaky.calls += 1
            if Flaky.calls == 1:
                raise RuntimeError("first call fails")
            return 7

    with pytest.raises(RuntimeError, match="^first call fails$"):
        velq.emit([1, Flaky()])


def test_numpy_like_bool_and_its_fallbacks():
    assert velq.loads(velq.emit([FakeNumpyBool()])) == [True]
    no_truth = type("bool_", (), {"__module__": "numpy", "__bool__": raiser(TypeError), "__index__": lambda self: 3})
    assert velq.loads(velq.emit(no_truth())) == 3


def test_signal_handler_ends_a_slow_conversion_hook():
    # A timeout raised while pure-Python conversion code runs ends emit.
    class Slow:
        def __float__(self):
            while True:
                pass

    with alarm_raising(Interrupted), pytest.raises(Interrupted):
        velq.emit([1.5, Slow()])


class ClearOnIndex:
    """Empties its list while being converted, dropping the list's reference to itself."""

    def __init__(self, target, fail):
        self.target, self.fail = target, fail

    def __index__(self):
        self.target.clear()
        if self.fail:
            raise TypeError("gone")
        return 7


class PopOnFloat:
    """Removes its own dict entry while being converted, then fails."""

    def __init__(self, target, key):
        self.target, self.key = target, key

    def __float__(self):
        self.target.pop(self.key, None)
        raise TypeError("gone")


class SwapKeysOnIndex:
    """Keeps the dict's size but replaces an entry, so iteration sees a new key."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.pop("a", None)
        self.target["c"] = 3
        return 5


def test_list_emptied_by_its_own_item():
    items = []
    items.extend([ClearOnIndex(items, fail=False), 1, 2])
    assert velq.loads(velq.emit(items)) == [7]


def test_item_freed_while_failing_its_conversion():
    # The list held the only reference; the conversion must keep the item alive
    # for the tests that follow the failing one.
    items = []
    items.extend([ClearOnIndex(items, fail=True), 1])
    with pytest.raises(TypeError, match="^Unsupported Python type: 'ClearOnIndex'$"):
        velq.emit(items)


def test_dict_value_freed_while_failing_its_conversion():
    mapping = {}
    mapping["a"] = PopOnFloat(mapping, "a")
    with pytest.raises(TypeError, match="^Unsupported Python type: 'PopOnFloat'$"):
        velq.emit(mapping)


def test_entry_dropped_by_an_item_of_its_value():
    # Clearing the dict drops its key and the list while the list is being
    # compiled; the refusal that follows names the key. The key's text is not
    # kept with the dictionary: a key of the same text came first.
    mapping = {}
    key = "".join(["en", "try"])
    mapping[key] = [ClearOnIndex(mapping, fail=False), "text"]
    del key
    with pytest.raises(ValueError, match="^Failed to parse VELQ: Mixed array item at /1/entry/1: String in an array of Int32$"):
        velq.emit([{"entry": 1}, mapping])


def test_dict_resized_by_a_value():
    class Grow:
        def __index__(self):
            mapping["z"] = 1
            return 1

    mapping = {"a": Grow(), "b": 2}
    with pytest.raises(Exception, match="dictionary changed size during iteration"):
        velq.emit(mapping)


def test_dict_keys_replaced_by_a_value():
    mapping = {}
    mapping["a"] = SwapKeysOnIndex(mapping)
    mapping["b"] = 1
    with pytest.raises(Exception, match="dictionary keys changed during iteration"):
        velq.emit(mapping)


def test_list_grown_by_an_item_keeps_its_recorded_length():
    items = []

    class Append:
        def __index__(self):
            items.append(99)
            return 1

    items.extend([Append(), 2])
    assert velq.loads(velq.emit(items)) == [1, 2]


# --- Python code in the middle of a call -----------------------------------------------------
#
# A signal handler run by a call's own poll, the collection that poll runs (and
# the finalizers it calls), and conversion hooks may change or free anything:
# the container being walked, its parent, its siblings. The call must return
# what it read while it was alive, or raise cleanly, with every reference
# count balanced. Each case runs in a child, under PYTHONMALLOC=debug where
# ASan is not watching already.

MIDCALL_PRELUDE = """
    import collections, gc, random, signal, struct, sys, velq

    def f32(x):
        return struct.unpack("<f", struct.pack("<f", x))[0]

    ran = []

    def collect_at_first_poll(finalize):
        # Cyclic garbage whose finalizer runs `finalize`, and a collection
        # scheduled by the next allocation: the interpreter runs it when the
        # call first asks for signals. Call as `collect_at_first_poll(f); velq.emit(*[value])`,
        # so that nothing in between runs it sooner.
        gc.collect()
        gc.disable()
        class Garbage:
            def __del__(self):
                ran.append(True)
                finalize()
        garbage = Garbage()
        garbage.cycle = garbage
        del garbage
        gc.set_threshold(1)
        gc.enable()

    def collected_at_poll():
        gc.set_threshold(700)
        if not ran:
            print("not at the poll")
            sys.exit(0)

    def containers_of(value):
        found = [value]
        for parent in found:
            found.extend(x for x in (parent.values() if isinstance(parent, dict) else parent) if isinstance(x, (list, dict)))
        return found

    def own_counts(containers):
        # Each container's references beyond those its parents among
        # `containers` hold: what a call must leave as it found.
        parents = collections.Counter(id(x) for p in containers for x in (p.values() if isinstance(p, dict) else p))
        return [sys.getrefcount(c) - parents[id(c)] for c in containers]
"""

MIDCALL_CASES = {
    # The finalizer shrinks every list, then allocates over what was freed.
    "list shrunk at the poll": """
        data = [[i + j / 1000 for j in range(1000)] for i in range(200)]
        def shrink():
            for inner in data:
                del inner[1:]
            [[k / 3] for k in range(1000)]
        collect_at_first_poll(shrink); out = velq.loads(velq.emit(*[data]))
        collected_at_poll()
        assert all(v == [f32(i + j / 1000) for j in range(len(v))] for i, v in enumerate(out)), out
        assert any(1 < len(v) < 1000 for v in out)
    """,
    "lists of str emptied at the poll": """
        data = [["t%d.%d" % (i, j) for j in range(1000)] for i in range(200)]
        def empty():
            for inner in data:
                inner.clear()
            ["u%d" % k for k in range(1000)]
        collect_at_first_poll(empty); out = velq.loads(velq.emit(*[data]))
        collected_at_poll()
        assert all(v == ["t%d.%d" % (i, j) for j in range(len(v))] for i, v in enumerate(out))
        assert velq.loads(velq.emit(data)) == [[]] * 200
    """,
    "the top list emptied at the poll": """
        data = [float(i) for i in range(65535)]
        collect_at_first_poll(data.clear); out = velq.loads(velq.emit(*[data]))
        collected_at_poll()
        assert 0 < len(out) < 65535 and out == [float(i) for i in range(len(out))]
    """,
    "dicts emptied at the poll": """
        data = [{"k%d" % j: j for j in range(100)} for i in range(2000)]
        def empty():
            for inner in data:
                inner.clear()
        collect_at_first_poll(empty)
        try:
            velq.emit(*[data])
            raise AssertionError("returned")
        except RuntimeError as error:
            assert str(error) == "dictionary changed size during iteration"
        collected_at_poll()
    """,
    # 400 hooks each emitting a 40-deep list that holds the next: far fewer
    # Python frames than the recursion limit, and more C stack than a thread
    # may have (an interpreter that measures its stack may find room).
    "emit re-entered from hooks": """
        def nest(x, levels):
            for _ in range(levels):
                x = [x]
            return x
        class Hook:
            def __init__(self, depth):
                self.depth = depth
            def __index__(self):
                if self.depth:
                    velq.emit(nest(Hook(self.depth - 1), 40))
                return 1
        value = nest(Hook(400), 40)
        containers = containers_of(value)
        before = own_counts(containers)
        try:
            assert velq.loads(velq.emit(value)) == nest(1, 40)
        except RecursionError:
            pass
        assert own_counts(containers) == before
        assert velq.loads(velq.emit(nest(Hook(3), 40))) == nest(1, 40)
    """,
    # The payload outgrows the stack: every walk in progress unwinds through the failure.
    "allocation failed mid-walk": """
        import _testcapi
        value = {"rows": [[{"v": [1.5] * 40}] for _ in range(60)], "n": {"m": [[2.5] * 30]}}
        containers = containers_of(value)
        before = own_counts(containers)
        failures = 0
        for start in range(0, 200, 3):
            _testcapi.set_nomemory(start, 0)
            try:
                velq.emit(value)
            except MemoryError:
                failures += 1
            finally:
                _testcapi.remove_mem_hooks()
        assert failures
        assert own_counts(containers) == before
    """,
}

# A timer lands a handler at many positions of many calls; the handler changes
# a random container of the value (or the value's parent), re-enters velq or
# raises. The value is rebuilt for every call.
MIDCALL_SWEEP = """
    class Interrupted(Exception):
        pass

    def make(kind, i):
        if kind == "str":
            return ["t%d.%d" % (i, j) for j in range(20)]
        if kind == "float":
            return [i + j / 1000 for j in range(20)]
        if kind == "int":
            return list(range(i, i + 20))
        if kind == "big":
            return [2**40 + j for j in range(20)]
        return [["s%d" % j, "t"] for j in range(10)]

    rng = random.Random(7)
    for round in range(ROUNDS):
        kind = ["str", "float", "int", "big", "nested"][round % 5]
        data = {"a%d" % i: make(kind, i) for i in range(2000)}
        containers = containers_of(data)
        before = own_counts(containers)

        def handler(signum, frame):
            if stopped:
                return
            action = rng.randrange(8)
            target = rng.choice(containers[1:])
            if action == 0:
                for v in containers[1:]:
                    v.clear()
                gc.collect()
            elif action == 1:
                del target[1:]
                ["x%d" % k for k in range(100)]
            elif action == 2:
                target.extend([0.5] * 100)
            elif action == 3:
                target[:] = [7] * len(target)
            elif action == 4:
                velq.loads(velq.emit({"k": target[:3], "s": ["x", "y"]}))
                velq.loads(velq.dumps('[{"a": 1}, {"a": 2, "b": "c"}]'))
            elif action == 5:
                data.clear()
            elif action == 6:
                raise Interrupted
            else:
                data["new"] = []

        stopped = False
        signal.signal(signal.SIGALRM, handler)
        try:
            try:
                # Armed inside the try: the first signal may come before the call.
                signal.setitimer(signal.ITIMER_REAL, 0.00005 * (1 + round % 9), 0.0003)
                CALL
            finally:
                stopped = True
                signal.setitimer(signal.ITIMER_REAL, 0)
        except (Interrupted, RuntimeError, TypeError, ValueError):
            pass
        assert own_counts(containers) == before
"""

MIDCALL_SWEEPS = {
    "emit": "velq.loads(velq.emit(data))",
    "dumps": "velq.loads(velq.dumps(TEXT))",
    # Past 4 MiB, a top-level array is compiled item by item as it is parsed, and a text that is
    # not ASCII is encoded for the call.
    "dumps-itemwise": "velq.loads(velq.dumps(LARGE_TEXT))",
}


def run_midcall_child(code):
    env = dict(os.environ)
    if not UNDER_ASAN:
        env["PYTHONMALLOC"] = "debug"
    return run_child(textwrap.dedent(MIDCALL_PRELUDE) + textwrap.dedent(code) + '\nprint("ok")\n', env=env)


@pytest.mark.parametrize("case", list(MIDCALL_CASES) + [f"{call} under a timer sweep" for call in MIDCALL_SWEEPS])
def test_python_code_in_the_middle_of_a_call(case):
    if case in MIDCALL_CASES:
        code = MIDCALL_CASES[case]
        if "_testcapi" in code:
            pytest.importorskip("_testcapi")
    else:
        call = case.split()[0]
        rounds = 40 if UNDER_ASAN else 150
        code = textwrap.dedent(MIDCALL_SWEEP).replace("ROUNDS", str(rounds)).replace("CALL", MIDCALL_SWEEPS[call])
        code = ("TEXT = str([list(range(30))] * 3000)\n"
                "LARGE_TEXT = '[\"\\u00e9\", ' + str([list(range(30))] * 46000)[1:]\n" + code)
    out = run_midcall_child(code)
    if out.startswith("not at the poll"):
        pytest.skip("this interpreter ran the collection before the call")
    assert out.strip() == "ok"


# --- subclasses -------------------------------------------------------------------------------


class LoudDict(dict):
    def __iter__(self):
        raise AssertionError("iterated through Python")

    def items(self):
        raise AssertionError("iterated through Python")

    def __getitem__(self, key):
        raise AssertionError("looked up through Python")


class LoudList(list):
    def __iter__(self):
        raise AssertionError("iterated through Python")

    def __len__(self):
        return 0

    def __getitem__(self, index):
        raise AssertionError("indexed through Python")


class Text(str):
    def __str__(self):
        return "other"


class Number(int):
    def __index__(self):
        return 0


@pytest.mark.parametrize(
    "value, plain",
    [
        (LoudDict(a=1, b=[2]), {"a": 1, "b": [2]}),
        (LoudList([1, 2, 3]), [1, 2, 3]),
        (collections.OrderedDict([("b", 1), ("a", 2)]), {"b": 1, "a": 2}),
        (collections.defaultdict(list, x=[1.5]), {"x": [1.5]}),
        (collections.Counter("aab"), {"a": 2, "b": 1}),
        ([Text("t"), Text("u")], ["t", "u"]),
        ({Text("k"): 1}, {"k": 1}),
        (Number(5), 5),
        ([LoudList([LoudDict(k=LoudList([1]))])], [[{"k": [1]}]]),
    ],
    ids=["dict", "list", "ordered", "defaultdict", "counter", "str", "key", "int", "nested"],
)
def test_subclasses_convert_as_their_base(value, plain):
    assert velq.emit(value) == velq.emit(plain)


def test_mapping_that_is_not_a_dict_is_refused():
    with pytest.raises(TypeError, match="^Unsupported Python type: 'UserDict'$"):
        velq.emit(collections.UserDict(a=1))


# --- recursion --------------------------------------------------------------------------------


def self_list():
    items = []
    items.append(items)
    return items


def self_dict():
    mapping = {}
    mapping["k"] = mapping
    return mapping


def mutual():
    items = []
    items.append({"a": items})
    return items


def deep_list(levels):
    value = []
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize(
    "make, message",
    [
        (self_list, "Failed to parse VELQ: Max recursion depth"),
        (self_dict, "Failed to parse VELQ: Max recursion depth 128 exceeded at Object"),
        (mutual, "Failed to parse VELQ: Max recursion depth"),
        (lambda: deep_list(200_000), "Failed to parse VELQ: Max recursion depth"),
    ],
    ids=["list", "dict", "mutual", "deep"],
)
def test_self_containing_containers_end_cleanly(make, message):
    value = make()
    refs = sys.getrefcount(value)
    with pytest.raises(ValueError) as info:
        velq.emit(value)
    assert str(info.value) == message
    del info
    assert sys.getrefcount(value) == refs


def test_deep_text_and_bytes_end_cleanly():
    with pytest.raises(ValueError, match="recursion limit exceeded at line 1 column 128$"):
        velq.dumps("[" * 1_000_000)
    # 200 levels of arrays in bytes: refused at level 129.
    payload = array_value(6, 1) * 199 + array_value(7, 0)
    blob = document(BUILTINS + array_def(6, ARRAY) + array_def(7, NULL), 8, b"", entries((6, payload)))
    with pytest.raises(ValueError, match="^Failed to parse VELQ: Max recursion depth$"):
        velq.loads(blob)


# --- files ------------------------------------------------------------------------------------


def test_load_of_a_directory(tmp_path):
    with pytest.raises(ValueError) as info:
        velq.load(str(tmp_path))
    assert str(info.value) == io_error(errno.EISDIR)


def test_dump_onto_a_directory_leaves_it_alone(tmp_path):
    (tmp_path / "inner").mkdir()
    with pytest.raises(ValueError) as info:
        velq.dump("[1]", str(tmp_path / "inner"))
    assert str(info.value) == io_error(errno.EISDIR)
    assert (tmp_path / "inner").is_dir() and not any((tmp_path / "inner").iterdir())


def test_files_that_vanished(tmp_path):
    gone = tmp_path / "gone.velq"
    velq.dump("1", str(gone))
    gone.unlink()
    dangling = tmp_path / "link.velq"
    dangling.symlink_to(tmp_path / "nowhere")
    for path in (gone, dangling, tmp_path / "missing" / "x.velq"):
        with pytest.raises(ValueError) as info:
            velq.load(str(path))
        assert str(info.value) == io_error(errno.ENOENT)
    with pytest.raises(ValueError) as info:
        velq.dump("1", str(tmp_path / "missing" / "x.velq"))
    assert str(info.value) == io_error(errno.ENOENT)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.velq"]


def test_load_reads_past_a_zero_size_from_fstat():
    # /proc files report size 0 and still have content.
    with pytest.raises(ValueError, match="^Failed to parse VELQ: Unsupported VELQ version: "):
        velq.load("/proc/self/stat")
    with pytest.raises(ValueError, match="^Failed to parse VELQ: Header requires 13 bytes, got 0$"):
        velq.load("/dev/null")


PIPE_WRITER = """
import os, sys, time
blob = sys.stdin.buffer.read()
with open(sys.argv[1], "wb", buffering=0) as pipe:
    for i in range(0, len(blob), 7):
        pipe.write(blob[i:i + 7])
        time.sleep(0.002)
os._exit(0)  # no exit-time leak report: this child never loads the module
"""


def test_load_from_a_pipe_fed_in_pieces(tmp_path):
    # fstat gives no size and the data comes in small pieces. Run apart: a
    # writer that never came would leave the reader blocked in open().
    fifo = str(tmp_path / "fifo")
    out = run_child(f"""
        import os, subprocess, sys, velq
        os.mkfifo({fifo!r})
        writer = subprocess.Popen([sys.executable, "-c", {PIPE_WRITER!r}, {fifo!r}], stdin=subprocess.PIPE)
        writer.stdin.write(velq.dumps({RICH_JSON!r}))
        writer.stdin.close()
        print(velq.load({fifo!r}) == {RICH_VALUE!r}, writer.wait())
    """, timeout=60)
    assert out.split() == ["True", "0"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_dump_onto_a_full_device():
    with pytest.raises(ValueError) as info:
        velq.dump(RICH_JSON, "/dev/full")
    assert str(info.value) == io_error(errno.ENOSPC)


def unwritable_paths(tmp_path):
    """Paths that the current user may not create; root passes permission checks."""
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o500)
    return [locked / "x.velq", "/sys/kernel/velq-test.velq", "/proc/velq-test.velq"]


def test_unwritable_paths(tmp_path):
    tried = 0
    for path in unwritable_paths(tmp_path):
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
        except OSError as exc:
            code = exc.errno
        else:
            os.close(fd)
            os.unlink(path)
            continue
        with pytest.raises(ValueError) as info:
            velq.dump("[1]", str(path))
        assert str(info.value) == io_error(code)
        assert not os.path.exists(path)
        tried += 1
    (tmp_path / "locked").chmod(0o700)
    if tried == 0:
        pytest.skip("every path is writable here")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their permission bits")
def test_unreadable_file(tmp_path):
    path = tmp_path / "secret.velq"
    velq.dump("1", str(path))
    path.chmod(0)
    with pytest.raises(ValueError) as info:
        velq.load(str(path))
    assert str(info.value) == io_error(errno.EACCES)


@pytest.mark.parametrize("limit", [0, 100])
def test_dump_beyond_the_file_size_limit(tmp_path, limit):
    path = tmp_path / "big.velq"
    path.write_bytes(velq.dumps('["the old document"]'))
    out = run_child(f"""
        import resource, signal, velq
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, hard))
        try:
            velq.dump("[" + ",".join(str(i) for i in range(2000)) + "]", {str(path)!r})
            print("returned")
        except ValueError as exc:
            print(exc)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    """)
    assert out.strip() == io_error(errno.EFBIG)
    # A failed write leaves the file truncated or partly written, never beyond
    # the limit: the old document is gone and what is left does not load.
    assert path.stat().st_size <= limit
    with pytest.raises(ValueError):
        velq.load(str(path))


def test_failing_calls_leave_no_descriptor_open(tmp_path):
    before = open_fds()
    for _ in range(50):
        for call in (
            lambda: velq.load(str(tmp_path)),
            lambda: velq.load(str(tmp_path / "missing")),
            lambda: velq.dump("[1]", str(tmp_path)),
            lambda: velq.dump("[", str(tmp_path / "never.velq")),
            lambda: velq.load("/dev/null"),
        ):
            with pytest.raises(ValueError):
                call()
    assert open_fds() == before
    assert not (tmp_path / "never.velq").exists()


# --- hostile bytes: resource bounds -----------------------------------------------------------

DAMAGED_COUNTS = [
    # One million entries announced, none present.
    ("entries", document(BUILTINS, 6, b"", struct.pack("<I", 1 << 20)), "Truncated entry 0 header"),
    # Four billion dictionary strings announced in a four-byte block.
    ("dict", document(BUILTINS, 6, struct.pack("<I", 0xFFFFFFFF), entries()), "Truncated dict string"),
    # 2048 definitions announced, six present.
    ("definitions", document(BUILTINS, 2048, b"", entries()),
     "Definition block has 20 bytes but 2048 defs require 6146"),
    # An object of 256 fields announced, none present.
    ("fields", document(struct.pack("<BHH", 0x11, 0, 256), 1, b"", entries()),
     "Truncated field 0 name length"),
    # 65535 integers announced, none present.
    ("items", document(BUILTINS + array_def(6, INT32), 7, b"", entries((6, array_value(6, 0xFFFF)))),
     "Expected int32 (4 bytes)"),
    # 100 nested arrays, each announcing 65535 arrays and holding one.
    ("nested", document(BUILTINS + array_def(6, ARRAY), 7, b"", entries((6, array_value(6, 0xFFFF) * 100))),
     "Truncated array self_def_index"),
    # 120 nested objects of 256 fields, each holding one object and nothing more.
    ("objects", document(BUILTINS + object_def(6, [(b"f%d" % i, OBJECT) for i in range(256)]), 7, b"",
                         entries((6, struct.pack("<H", 6) * 120))),
     "Truncated object self_def_index"),
]


@pytest.mark.parametrize("blob, message", [case[1:] for case in DAMAGED_COUNTS],
                         ids=[case[0] for case in DAMAGED_COUNTS])
def test_damaged_counts_fail_with_their_message(blob, message):
    with pytest.raises(ValueError) as info:
        velq.loads(blob)
    assert str(info.value) == "Failed to parse VELQ: " + message


@needs_address_limit
@pytest.mark.parametrize("blob, message", [case[1:] for case in DAMAGED_COUNTS],
                         ids=[case[0] for case in DAMAGED_COUNTS])
def test_damaged_counts_reserve_nothing_large(blob, message):
    # The bytes are tiny and so is what they can describe: 32 MB of address
    # space beyond the interpreter's own is plenty.
    out = run_child(UNDER_ADDRESS_LIMIT.format(setup=f"blob = {blob!r}", call="velq.loads(blob)", extra_mb=32))
    assert out.strip() == "ValueError Failed to parse VELQ: " + message


def test_crafted_inputs_of_many_parts_complete():
    # A million null entries: the largest entry count accepted.
    blob = document(BUILTINS, 6, b"", entries(*[(0, b"")] * (1 << 20)))
    result = velq.loads(blob)
    assert len(result) == 1 << 20 and result[0] is None and result[-1] is None

    # A million empty dictionary strings and no entry.
    blob = document(BUILTINS, 6, struct.pack("<I", 1 << 20) + b"\0" * (1 << 20), entries())
    assert velq.loads(blob) is None

    # 2048 definitions whose indices are shifted by one, so that the object
    # definition of every item is found by searching; 20000 such items.
    defs = b"".join(object_def(p + 1, [(b"v", INT32)]) for p in range(2047)) + array_def(0, OBJECT)
    items = struct.pack("<Hi", 2046, 9) * 20000
    blob = document(defs, 2048, b"", entries((2047, array_value(2047, 20000, items))))
    result = velq.loads(blob)
    assert len(result) == 20000 and result[0] == result[-1] == {"v": 9}


def test_nulls_cost_no_bytes():
    # Six bytes of payload describe 65535 nulls; an object of 256 null fields takes two.
    blob = document(BUILTINS + array_def(6, NULL), 7, b"", entries((6, array_value(6, 0xFFFF))))
    assert velq.loads(blob) == [None] * 65535
    fields = [(b"f%03d" % i, NULL) for i in range(256)]
    blob = document(BUILTINS + object_def(6, fields), 7, b"", entries((6, struct.pack("<H", 6))))
    assert velq.loads(blob) == {"f%03d" % i: None for i in range(256)}


FUZZ = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "fuzz")


def fuzz_inputs(*folders):
    paths = []
    for folder in folders:
        root = os.path.join(FUZZ, folder)
        if os.path.isdir(root):
            paths += [os.path.join(root, name) for name in sorted(os.listdir(root)) if not name.endswith(".md")]
    return paths


def mutations(blob, rng, count):
    """Byte flips, overwrites with boundary values, cuts and splices of one input."""
    for _ in range(count):
        data = bytearray(blob)
        for _ in range(rng.randint(1, 4)):
            how = rng.randrange(4)
            at = rng.randrange(len(data)) if data else 0
            if how == 0 and data:
                data[at] ^= 1 << rng.randrange(8)
            elif how == 1 and data:
                data[at] = rng.choice([0x00, 0x01, 0x05, 0x10, 0x11, 0x7F, 0x80, 0xC0, 0xFE, 0xFF])
            elif how == 2:
                del data[at:at + rng.randint(1, 8)]
            else:
                data[at:at] = data[rng.randrange(len(data) + 1):][:rng.randint(1, 16)]
        yield bytes(data)


def test_fuzz_inputs_and_their_mutations_through_loads():
    # The module's own reading road, down to the Python objects it builds.
    paths = fuzz_inputs("seeds/decode", "regressions/decode")
    if not paths:
        pytest.skip("no fuzz inputs in this checkout")
    rng = random.Random(6)
    outcomes = collections.Counter()
    for path in paths:
        with open(path, "rb") as file:
            blob = file.read()
        for data in [blob, *mutations(blob, rng, 40)]:
            try:
                velq.loads(data)
                outcomes["value"] += 1
            except ValueError as exc:
                assert str(exc).startswith("Failed to parse VELQ: ")
                outcomes["refused"] += 1
    assert outcomes["value"] and outcomes["refused"]


def test_fuzz_inputs_through_dumps():
    paths = fuzz_inputs("seeds/json", "regressions/compile", "regressions/roundtrip")
    if not paths:
        pytest.skip("no fuzz inputs in this checkout")
    for path in paths:
        with open(path, "rb") as file:
            raw = file.read()
        try:
            text = raw.decode()
        except UnicodeDecodeError:
            continue  # a str cannot carry it
        try:
            data = velq.dumps(text)
        except ValueError as exc:
            assert str(exc).startswith("Failed to parse VELQ: ")
            continue
        try:
            velq.loads(data)
        except ValueError as exc:
            assert str(exc).startswith("Failed to parse VELQ: Cannot represent float")
