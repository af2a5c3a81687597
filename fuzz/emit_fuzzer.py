"""emit on Python values built from the input: nested dicts and lists (and
their subclasses) of str (lone surrogates included), ints of every size,
floats (NaN, infinities, -0.0), bools, objects that convert through
__index__ or __float__ or fail to, unsupported types, non-str keys, deep and
self-containing nesting, and containers changed by a conversion hook while
emit walks them.

A model of the conversion rules gives, for each value, either the value that
loads(emit(value)) must return (conftest.expected_from_emit) or the
exception types its faults may raise (emit stops at the first one it meets).
emit must keep every reference count of the value as it was, fail or not.
When a hook changes a container, only the kind of outcome is checked."""

import math
import sys

from pyfuzz import PREFIX, at_a_poll, check, check_read_back, expected_from_emit, main  # also puts the tests on the path
from conftest import Index, MyDict, MyFloat, MyInt, MyList, MyStr  # noqa: E402

import atheris

import velq

INT64 = 2**63
LIMIT = 128  # levels of nesting; a dict takes two fields per item, 256 at most


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Both(Index):
    def __init__(self, value, number):
        self.value, self.number = value, number

    def __float__(self):
        return self.number


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("from __index__")


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error("from __float__")


class Mutator:
    """Changes a container that holds it (directly or further up) when converted."""

    def __init__(self, target, action):
        self.target, self.action = target, action

    def __index__(self):
        target = self.target
        if isinstance(target, list):
            [target.append, lambda x: target.clear(), lambda x: target.pop() if target else None,
             lambda x: target.insert(0, x)][self.action % 4](1)
        else:
            [lambda: target.update({f"new{len(target)}": 1}), target.clear,
             lambda: target.pop(next(iter(target))) if target else None,
             lambda: (target.pop(next(iter(target)), None), target.update(z=1)) if target else None][self.action % 4]()
        return 2


ORDINARY = (ValueError, ZeroDivisionError, TypeError, OverflowError, LookupError)
SERIOUS = (MemoryError, KeyboardInterrupt)
INTS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32, 2**32 + 5, INT64 - 1, INT64, -INT64,
        -INT64 - 1, 2**64, 2**64 - 1, 2**100, 10**38, 2**128, 2**1023, 2**1024, -(2**1024), 10**400]
FLOATS = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 0.1, 3.4028234663852886e38, 3.4028235677973366e38,
          1e39, 1.401298464324817e-45, 7e-46, 5e-324, 1.5, 16777217.0]
UNSUPPORTED = [None, (1,), {1}, b"x", bytearray(b"x"), object(), range(2), 1j]


class Builder:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.mutating = False

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def rarely(self, one_in):
        # An exhausted input gives 0 for every choice: rare things are the last one.
        return self.pick(one_in) == one_in - 1

    def text(self):
        kind = self.pick(8)
        if kind == 0:
            return "\ud800" if self.pick(2) else "a\udfffb"
        if kind == 1:
            return "x" * self.fdp.ConsumeIntInRange(0, 300)
        return self.fdp.ConsumeUnicodeNoSurrogates(self.pick(12)) if kind < 6 else self.fdp.ConsumeUnicode(self.pick(6))

    def integer(self):
        kind = self.pick(4)
        if kind == 0:
            return INTS[self.pick(len(INTS))]
        if kind == 1:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 160))
        return self.fdp.ConsumeIntInRange(-(2**40), 2**40) if kind == 2 else self.pick(100)

    def number(self):
        kind = self.pick(3)
        if kind == 0:
            return FLOATS[self.pick(len(FLOATS))]
        return self.fdp.ConsumeRegularFloat() if kind == 1 else self.fdp.ConsumeFloat()

    def scalar(self, kind, ancestors):
        """A leaf of one of the kinds: 0 str, 1 int, 2 float, 3 bool, 4 hook objects, 5 unsupported."""
        if kind == 0:
            return MyStr(self.text()) if self.rarely(6) else self.text()
        if kind == 1:
            value = self.integer()
            return MyInt(value) if self.rarely(6) else value
        if kind == 2:
            value = self.number()
            return MyFloat(value) if self.rarely(6) else value
        if kind == 3:
            return self.fdp.ConsumeBool()
        if kind == 4:
            choice = self.pick(7)
            errors = ORDINARY + SERIOUS
            if choice == 0:
                return Index(self.integer() if self.pick(8) else 2.5)
            if choice == 1:
                return FloatLike(self.number() if self.pick(8) else "x")
            if choice == 2:
                return Both(self.integer(), self.number())
            if choice == 3:
                return RaisingIndex(errors[self.pick(len(errors))])
            if choice == 4:
                return RaisingFloat(errors[self.pick(len(errors))])
            if choice == 5 and ancestors:
                self.mutating = True
                return Mutator(ancestors[self.pick(len(ancestors))], self.pick(4))
            return Index(self.pick(10))
        return UNSUPPORTED[self.pick(len(UNSUPPORTED))]

    def key(self):
        choice = self.pick(16)
        if choice == 0:
            return [1, None, 2.5, (1,), b"k", True][self.pick(6)]
        return MyStr(self.text()) if choice == 1 else self.text()

    def value(self, ancestors=(), depth=1):
        if self.fdp.remaining_bytes() == 0:
            return self.pick(5)
        kind = self.pick(12)
        if kind < 6 or depth > 140:
            return self.scalar(self.pick(6), ancestors)
        if kind == 6 and depth == 1:
            return self.nested()
        if kind <= 8:
            container = MyList() if self.rarely(8) else []
            size = self.pick(300) if self.rarely(20) else self.pick(9)
            # Mostly one kind of item (numbers may mix): arrays of one type.
            same = self.pick(4)
            item_kind = self.pick(6)
            inner = (*ancestors, container)
            for _ in range(size):
                if same and item_kind < 4:
                    container.append(self.scalar(item_kind if item_kind != 1 or self.pick(4) else 2, inner))
                else:
                    container.append(self.value(inner, depth + 1))
            if self.rarely(40):
                container.append(container)
            return container
        container = MyDict() if self.rarely(8) else {}
        size = self.fdp.ConsumeIntInRange(120, 135) if self.rarely(20) else self.pick(8)
        inner = (*ancestors, container)
        for i in range(size):
            container[self.key() if self.pick(3) else f"k{i}"] = self.value(inner, depth + 1)
        if self.rarely(40):
            container["self"] = container
        return container

    def nested(self):
        """Lists and dicts nested around a value, up to just past the limit."""
        levels = self.fdp.ConsumeIntInRange(LIMIT - 3, LIMIT + 2)
        value = self.value(depth=LIMIT + 1)
        for _ in range(levels):
            value = [value] if self.fdp.ConsumeBool() else {"k": value}
        return value


class Faults(Exception):
    pass


class Model:
    """The outcome the conversion rules give: each node's kind (int, float,
    str, bool, list, dict) and value as the plain built-in types, or the set of
    exception types of the faults met (a fault stops emit, at whichever comes
    first)."""

    def __init__(self):
        self.faults = set()
        self.path = set()  # the containers being walked: one met again is a cycle

    def integer(self, number):
        """An integer from PyLong_AsLong, else through float(); None if neither works."""
        if -INT64 <= number < INT64:
            return "int", number
        try:
            return "float", float(number)
        except OverflowError:
            return None

    def hook(self, function):
        """The result of a hook, or the exception type that ends the call. Only
        a TypeError or an OverflowError means "not this kind": the next test
        decides; every other exception ends the call as it is."""
        try:
            return function(), None
        except (TypeError, OverflowError):
            return None, None
        except BaseException as error:  # noqa: BLE001 - it is the outcome
            return None, type(error)

    def leaf(self, value):
        kind = type(value)
        if isinstance(value, str):
            try:
                value.encode("utf-8")
                return "str", str(value)
            except UnicodeEncodeError:
                return self.fault(TypeError)
        if kind is bool:
            return "bool", value
        if isinstance(value, int):
            return self.integer(int(value)) or self.fault(TypeError)
        if isinstance(value, float):
            return "float", float(value)
        # Other objects: PyLong_AsLong (through __index__), then PyFloat_AsDouble
        # (through __float__, or __index__ when there is none).
        index = getattr(type(value), "__index__", None)
        if index is not None:
            number, error = self.hook(lambda: index(value))
            if error is not None:
                return self.fault(error)
            if type(number) is int and -INT64 <= number < INT64:
                return "int", number
        to_float = getattr(type(value), "__float__", None)
        if to_float is not None:
            number, error = self.hook(lambda: to_float(value))
            if error is not None:
                return self.fault(error)
            if type(number) is float:
                return "float", number
        elif index is not None:
            number, error = self.hook(lambda: index(value))
            if error is not None:
                return self.fault(error)
            if type(number) is int:
                return self.integer(number) or self.fault(TypeError)
        return self.fault(TypeError)

    def fault(self, error):
        self.faults.add(error)
        return None

    def node(self, value, depth=1):
        if isinstance(value, (list, dict)):
            if depth > LIMIT or id(value) in self.path:
                return self.fault(ValueError)  # a cycle is nesting without end
            self.path.add(id(value))
            result = self.dict(value, depth) if isinstance(value, dict) else self.list(value, depth)
            self.path.discard(id(value))
            return result
        return self.leaf(value)

    def dict(self, value, depth):
        if len(value) > LIMIT:
            self.fault(ValueError)
        plain = {}
        for key, item in dict.items(value):
            if not isinstance(key, str):
                self.fault(TypeError)
                continue
            try:
                key.encode("utf-8")
            except UnicodeEncodeError:
                self.fault(UnicodeEncodeError)
                continue
            result = self.node(item, depth + 1)
            if result:
                plain[str(key)] = result[1]
        return "dict", plain

    def list(self, value, depth):
        if len(value) > 65535:
            self.fault(ValueError)
        results = [self.node(item, depth + 1) for item in list.__iter__(value)]
        kinds = {result[0] for result in results if result}
        if len(kinds) > 1 and not kinds <= {"int", "float"}:
            self.fault(ValueError)
        return "list", [result[1] for result in results if result]


def objects(value, seen):
    """Every object of the value, once."""
    if id(value) in seen:
        return
    seen[id(value)] = value
    if isinstance(value, dict):
        for key in dict.keys(value):
            objects(key, seen)
            objects(dict.__getitem__(value, key), seen)
    elif isinstance(value, list):
        for item in list.__iter__(value):
            objects(item, seen)


def reference_counts(items):
    return [sys.getrefcount(item) for item in items]


def containers_of(value):
    found, seen = [], set()
    pending = [value]
    while pending:
        node = pending.pop()
        if isinstance(node, (list, dict)) and id(node) not in seen:
            seen.add(id(node))
            found.append(node)
            pending.extend(dict.values(node) if isinstance(node, dict) else list.__iter__(node))
    return found


def emit_again(value):
    """emit re-entered on part of the value: any outcome but a crash will do
    (the part may hold hooks, cycles or nesting past the limit)."""
    try:
        velq.emit(value)
    except BaseException:  # noqa: BLE001 - a hook may raise anything
        pass


def change(container, action):
    """One change to a list or dict, of those Python code may make while emit walks it."""
    if isinstance(container, list):
        if action == 0:
            container.clear()
        elif action == 1:
            del container[1:]
        elif action == 2:
            container.extend(["grown", 2.5] if len(container) % 2 else [3] * 70)
        elif action == 3:
            container[:] = [Index(4)] * len(container)
        else:
            emit_again(container[:1])
    else:
        if action == 0:
            container.clear()
        elif action == 1:
            container.pop(next(iter(container)), None) if container else None
        elif action == 2:
            container[f"new{len(container)}"] = [1]
        elif action == 3:
            for key in list(container)[:3]:
                container[key] = "replaced"
        else:
            emit_again({"k": list(container.values())[:1]})
    [[k] for k in range(50)]  # reuse what was freed


def mutated_at_a_poll(builder, value):
    """emit of the value after a filler of a size that puts the call's first
    signal poll at one of the value's first polls; that poll runs code that
    changes a container of the value, or the wrapper around it."""
    containers = containers_of(value)
    wrapper = {"": [0] * (65472 - 64 * builder.pick(8)), "v": value}
    target = wrapper if builder.rarely(8) or not containers else containers[builder.pick(len(containers))]
    action = builder.pick(5)
    result, _ = at_a_poll(lambda: change(target, action), velq.emit, wrapper)
    if type(result) is bytes:
        try:
            velq.loads(result)
        except ValueError as error:
            check(str(error).startswith(PREFIX), f"loads: {error}")
    else:
        check(issubclass(result[1], (RuntimeError, RecursionError, *ORDINARY, *SERIOUS)), f"emit raised {result}")


def test_one_input(data):
    builder = Builder(data)
    value = builder.value()
    if builder.rarely(8):
        mutated_at_a_poll(builder, value)
        return
    if builder.mutating:
        # The outcome depends on the order of the walk; it must still be bytes
        # that read back or refuse cleanly, or one of the documented errors.
        try:
            result = velq.emit(value)
        except (RuntimeError, *ORDINARY, *SERIOUS):
            return
        try:
            velq.loads(result)
        except ValueError as error:
            check(str(error).startswith(PREFIX), f"loads: {error}")
        return

    model = Model()
    modelled = model.node(value)
    seen = {}
    objects(value, seen)
    items = list(seen.values())
    del seen
    counts = reference_counts(items)
    try:
        result = velq.emit(value)
    except BaseException as error:  # noqa: BLE001 - checked against the model
        raised = type(error)
        if raised is RecursionError:
            raise
        expected = model.faults
        check(raised in expected,
              f"emit raised {raised.__name__}: {error}; the model expects {sorted(e.__name__ for e in expected)}")
        if raised is ValueError and not str(error).startswith("from __"):  # not a hook's own
            check(str(error).startswith(PREFIX), f"emit: {error}")
        result = None
    else:
        check(not model.faults, f"emit accepted a value with faults {sorted(e.__name__ for e in model.faults)}")
        check(type(result) is bytes and sys.getrefcount(result) == 2, "emit result")
    after = reference_counts(items)
    for item, before, now in zip(items, counts, after):
        check(now == before, f"reference count of a {type(item).__name__} went from {before} to {now}")
    if result is not None:
        check_read_back(result, expected_from_emit(modelled[1]), "loads(emit(value))")


if __name__ == "__main__":
    main(test_one_input)
