"""Property tests: random values round-trip with the documented changes (dumps
against Python's json, emit against a plain statement of its rules), values at
the limits fail with their errors in order, and damaged bytes never crash the
reader."""

import functools
import json
import math
import operator

from conftest import (INT64_MAX, INT64_MIN, Index, assert_identical, expected_from_emit, expected_from_json, f32,
                      f32_of_int, low32)
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velq

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

keys = st.text(max_size=6)
integers = st.one_of(st.integers(-(2**31), 2**31 - 1), st.integers(-(2**63), 2**64 - 1), st.integers(-(2**100), 2**100))
floats = st.one_of(st.floats(width=32, allow_nan=False, allow_infinity=False),
                   st.floats(min_value=-3e38, max_value=3e38))


def number_kind(x):
    """The type a JSON number compiles to: Int32 below 2**63, UInt32 up to
    2**64 - 1, Float32 for fractions and integers beyond 64 bits."""
    if isinstance(x, float) or not -(2**63) <= x < 2**64:
        return "Float32"
    return "Int32" if x < 2**63 else "UInt32"


def storable_numbers(xs):
    """Numbers an array can hold: one type, or integers widened beside a float."""
    kinds = {number_kind(x) for x in xs}
    return "Float32" in kinds or len(kinds) <= 1


def homogeneous_arrays(children, numbers):
    scalars = st.one_of(
        st.lists(st.none(), max_size=4),
        st.lists(st.booleans(), max_size=6),
        st.lists(st.text(max_size=8), max_size=6),
        st.lists(numbers, max_size=6).filter(storable_numbers),
    )
    objects = st.lists(st.dictionaries(keys, children, max_size=5), max_size=4)
    return st.one_of(scalars, objects, st.lists(scalars | objects, max_size=3))


def json_values():
    """JSON-shaped values that the format can hold: arrays of one item type
    (integers and floats may mix), any object keys."""
    numbers = st.one_of(integers, floats)
    leaves = st.one_of(st.none(), st.booleans(), numbers, st.text(max_size=10))
    return st.recursive(
        leaves,
        lambda children: st.one_of(st.dictionaries(keys, children, max_size=5), homogeneous_arrays(children, numbers)),
        max_leaves=40,
    )


def text_with_repeated_keys(value, ascii_only):
    """JSON text in which each object first gives its first key a value of
    another type ([true]), which the later one replaces."""
    dumps = functools.partial(json.dumps, ensure_ascii=ascii_only)
    if isinstance(value, dict):
        members = [f"{dumps(key)}: {text_with_repeated_keys(item, ascii_only)}" for key, item in value.items()]
        replaced = [f"{dumps(key)}: [true]" for key in list(value)[:1]]
        return "{" + ", ".join(replaced + members) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(text_with_repeated_keys(item, ascii_only) for item in value) + "]"
    return dumps(value)


# Keys come back in byte order, the last of repeated keys winning, as json.loads keeps it.
@SETTINGS
@given(json_values(), st.booleans(), st.booleans())
def test_json_round_trip(value, ascii_only, repeat_keys):
    text = text_with_repeated_keys(value, ascii_only) if repeat_keys else json.dumps(value, ensure_ascii=ascii_only)
    assert_identical(velq.loads(velq.dumps(text)), expected_from_json(json.loads(text)))


def python_values():
    """Values that emit accepts (no None; ints that a double can hold)."""
    numbers = st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-(2**100), 2**100), floats)
    leaves = st.one_of(st.booleans(), numbers, st.text(max_size=10))
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.dictionaries(keys, children, max_size=5),
            st.lists(st.booleans(), max_size=5),
            st.lists(st.text(max_size=5), max_size=5),
            st.lists(numbers, max_size=5),
            st.lists(st.dictionaries(keys, children, max_size=3), max_size=3),
        ),
        max_leaves=30,
    )


@SETTINGS
@given(python_values())
def test_emit_round_trip(value):
    assert_identical(velq.loads(velq.emit(value)), expected_from_emit(value))


any_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=4), st.binary(max_size=2)),
    lambda children: st.one_of(st.lists(children, max_size=4), st.dictionaries(st.text(max_size=3) | st.integers(),
                                                                                children, max_size=4),
                               st.tuples(children)),
    max_leaves=20,
)


@SETTINGS
@given(any_values)
def test_emit_of_anything_returns_bytes_or_refuses(value):
    try:
        data = velq.emit(value)
    except (TypeError, ValueError):
        return
    try:
        velq.loads(data)
    except ValueError as error:
        assert "Cannot represent float" in str(error)


@SETTINGS
@given(json_values(), st.data())
def test_damaged_bytes_return_or_raise_value_error(value, data):
    try:
        original = velq.dumps(json.dumps(value))
    except ValueError:
        return
    damaged = bytearray(original)
    how = data.draw(st.sampled_from(["truncate", "flip", "random"]))
    if how == "truncate":
        damaged = damaged[: data.draw(st.integers(0, len(damaged) - 1))]
    elif how == "flip":
        for _ in range(data.draw(st.integers(1, 4))):
            damaged[data.draw(st.integers(0, len(damaged) - 1))] ^= data.draw(st.integers(1, 255))
    else:
        damaged = bytearray(data.draw(st.binary(max_size=64)))
    try:
        velq.loads(bytes(damaged))
    except ValueError:
        pass


# --- emit against a plain statement of its rules --------------------------------------------------

PREFIX = "Failed to parse VELQ: "
MAX_LEVELS = 128  # of lists and dicts


class Refused(Exception):
    """The error that emit, or loads after it (`at`), must raise: its type and message."""

    def __init__(self, kind, message, at="emit"):
        super().__init__(kind, message, at)


def velq_error(message, at="emit"):
    return Refused(ValueError, PREFIX + message, at)


def pointer_token(key):
    return "/" + key.replace("~", "~0").replace("/", "~1")


def as_float(value):
    """The value as a double the way the module asks for one: __float__, else __index__."""
    method = getattr(type(value), "__float__", None)
    return method(value) if method else float(operator.index(value))


def expected_after_roundtrip(value):
    """What loads(emit(value)) gives, or Refused with the first failure of emit's
    walk (depth first, in order; an array's items are compared once all are
    converted). The counts and sizes checked after the walk are in LIMIT_CASES.

    Rules: a dict (or subclass) becomes an object whose fields f0, f1, ... hold
    its keys and values alternately; keys must be str of valid UTF-8. A str
    must be valid UTF-8 to be stored. bool stays bool. An int, or an object
    with __index__, that fits 64 bits keeps its low 32 bits (signed); anything
    else numeric (floats, larger ints, __float__) becomes a float32, and what
    gives no double is unsupported. An array holds one type, except that ints
    beside floats widen to float32, each rounded once from its whole value.
    loads then refuses the first non-finite float."""
    non_finite = []

    def float32(number):
        number = f32(number)
        if not math.isfinite(number):
            non_finite.append("NaN" if math.isnan(number) else repr(number))
        return number

    def convert(value, path, level):
        """(type, value after the round trip, whole int for an Int32)."""
        if isinstance(value, (dict, list)):
            if level > MAX_LEVELS:
                at_object = f" {MAX_LEVELS} exceeded at Object" if isinstance(value, dict) else ""
                raise velq_error(f"Max recursion depth{at_object}")
            return (convert_dict if isinstance(value, dict) else convert_list)(value, path, level + 1)
        if isinstance(value, str):
            try:
                value.encode()
                return "String", str.__str__(value), None
            except UnicodeEncodeError:
                pass
        elif isinstance(value, bool):
            return "Bool", value, None
        elif isinstance(value, float):
            return "Float32", float32(float(value)), None
        whole = None
        # Only a TypeError or an OverflowError means "not this kind"; any
        # other error of a conversion is the outcome.
        if isinstance(value, int) or hasattr(type(value), "__index__"):
            try:
                whole = operator.index(value)
            except (TypeError, OverflowError):
                pass
            except Exception as error:  # noqa: BLE001
                raise Refused(type(error), str(error)) from None
        if whole is not None and INT64_MIN <= whole <= INT64_MAX:
            return "Int32", low32(whole), whole
        try:
            return "Float32", float32(as_float(value)), None
        except (TypeError, OverflowError):
            raise Refused(TypeError, f"Unsupported Python type: {type(value).__name__!r}") from None
        except Exception as error:  # noqa: BLE001
            raise Refused(type(error), str(error)) from None

    def convert_list(items, path, level):
        converted = [convert(item, f"{path}/{i}", level) for i, item in enumerate(list.__iter__(items))]
        types = [kind for kind, _, _ in converted]
        odd = next((i for i, kind in enumerate(types) if kind != types[0]), None)
        if odd is None:
            return "Array", [item for _, item, _ in converted], None
        if set(types) == {"Int32", "Float32"}:
            return "Array", [f32_of_int(whole) if kind == "Int32" else item for kind, item, whole in converted], None
        raise velq_error(f"Mixed array item at {path}/{odd}: {types[odd]} in an array of {types[0]}")

    def convert_dict(members, path, level):
        fields = []
        for key, item in dict.items(members):
            if not isinstance(key, str):
                shown = "'None'" if key is None else f"'{type(key).__qualname__}' object"
                raise Refused(TypeError, f"{shown} is not an instance of 'str'")
            try:
                key.encode()
            except UnicodeEncodeError as error:
                raise Refused(UnicodeEncodeError, str(error)) from None
            fields += [str.__str__(key), convert(item, path + pointer_token(key), level)[1]]
        return "Object", dict(sorted((f"f{i}", field) for i, field in enumerate(fields))), None

    result = convert(value, "", 1)[1]
    if non_finite:
        raise velq_error(f"Cannot represent float {non_finite[0]}", at="loads")
    return result


class HashlessStr(str):
    """A str whose own hash and equality must never be consulted."""

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return True


class BigInt(int):
    pass


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


EDGE_INTS = [2**31, -(2**31) - 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, -(2**64), 2**128]
REFUSED = [None, (), b"", RaisingIndex(), Index(2.5), Index(2**1024), 2**1024, -(2**1024)]


def emit_inputs():
    """Python values of every kind emit meets, refused ones included: mixed
    arrays, unsupported objects, keys that are not str or not UTF-8, ints
    through __index__ and beyond a double."""
    texts = st.one_of(st.text(max_size=6), st.sampled_from(["k", "a/b~", "\ud800", "x\udfff"]),
                      st.text(max_size=3).map(HashlessStr))
    keys = st.one_of(st.text(max_size=6), st.sampled_from(["k", "a/b~", "\udc80", 1, None]),
                     st.text(max_size=3).map(HashlessStr))
    leaves = st.one_of(
        st.booleans(), st.integers(-(2**70), 2**70), st.integers(-5, 5).map(BigInt),
        st.sampled_from(EDGE_INTS), st.sampled_from(EDGE_INTS).map(Index), st.integers(-(2**70), 2**70).map(Index),
        st.floats(), texts, st.sampled_from(REFUSED),
    )
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.dictionaries(keys, children, max_size=4),
            st.lists(children, max_size=4),
            st.lists(leaves, max_size=4),
            st.lists(st.one_of(st.integers(-(2**64), 2**64), st.sampled_from(EDGE_INTS), st.floats()), max_size=5),
            st.lists(st.dictionaries(st.sampled_from(["a", "b/", "c~", "d", "e", "f"]), children, max_size=6),
                     max_size=4),
        ),
        max_leaves=30,
    )


def nested(value_and_levels):
    """The value inside lists (False) and dicts (True), innermost first."""
    value, levels = value_and_levels
    for in_dict in levels:
        value = {"k": value} if in_dict else [value]
    return value


def outcome(value):
    """loads(emit(value)), or Refused with the type, message and call of the error."""
    at = "emit"
    try:
        data = velq.emit(value)
        at = "loads"
        return velq.loads(data)
    except Exception as error:  # noqa: BLE001 - the comparison is the test
        assert getattr(error, "__notes__", None) is None
        return Refused(type(error), str(error), at)


# A third of the values are nested in 120 to 132 levels, about the limit.
@settings(SETTINGS, max_examples=600)
@given(st.one_of(emit_inputs(), emit_inputs(),
                 st.tuples(emit_inputs(), st.lists(st.booleans(), min_size=120, max_size=132)).map(nested)))
def test_emit_follows_its_rules(value):
    try:
        expected = expected_after_roundtrip(value)
    except Refused as refusal:
        actual = outcome(value)
        assert isinstance(actual, Refused) and actual.args == refusal.args
    else:
        assert_identical(outcome(value), expected)


def shapes(n):
    """n dicts of n distinct shapes (by the types of their five values)."""
    kinds = [True, 1, 1.5, "s", [], {}]
    return [{str(j): kinds[(i // 6**j) % 6] for j in range(5)} for i in range(n)]


WIDE_DICT = {f"k{i}": i for i in range(129)}  # 258 fields
LONG_TEXT = "x" * (2**24)
TOO_LONG = velq_error("String exceeds maximum inline length (16 777 215 bytes)")
# Values at and beyond the limits, alone and together: the first failure wins in
# the order conversion, definition count, field counts, encoder. None: the value
# is written and reads back as the rules say.
LIMIT_CASES = {
    # 2039 shapes, the list, [] and {}: 2048 definitions with the built-in ones.
    "most shapes": (shapes(2039), None),
    "too many shapes": (shapes(2040), velq_error("Definition count 2049 exceeds max 2048")),
    # Definitions 0 to 5 are built in; the list's (6) comes before its items.
    "too many fields": ([WIDE_DICT], velq_error("Object #7 has 258 fields (max 256)")),
    "most items": ([0] * 65535, None),
    "too many items": ([0] * 65536, velq_error("Too many array items (65536), max 65535")),
    "longest text": (LONG_TEXT[:-1], None),
    "text too long": ([LONG_TEXT], TOO_LONG),
    "conversion before definitions": ({"a": shapes(2040), "b": [None]},
                                      Refused(TypeError, "Unsupported Python type: 'NoneType'")),
    # 2040 shapes, [], {}, the list, the wide dict and the root.
    "definitions before fields": ({"a": shapes(2040), "b": WIDE_DICT},
                                  velq_error("Definition count 2051 exceeds max 2048")),
    "fields before the encoder": ({"a": WIDE_DICT, "b": [0] * 70000},
                                  velq_error("Object #6 has 258 fields (max 256)")),
    "dictionary before the data": ({"a": [0] * 70000, "b": LONG_TEXT}, TOO_LONG),
    "outer count before inner": ([[0] * 70001] + [[0]] * 69999,
                                 velq_error("Too many array items (70000), max 65535")),
    "mixed before the encoder": ({"a": [LONG_TEXT], "b": [[1, "a"]]},
                                 velq_error("Mixed array item at /b/0/1: String in an array of Int32")),
}


@pytest.mark.parametrize("case", LIMIT_CASES)
def test_limits_and_their_order(case):
    value, refusal = LIMIT_CASES[case]
    if refusal is None:
        assert_identical(velq.loads(velq.emit(value)), expected_after_roundtrip(value))
    else:
        assert outcome(value).args == refusal.args
