"""Property tests: random values round-trip with the documented changes, and
damaged bytes never crash the reader."""

import json

from conftest import assert_identical, expected_from_emit, expected_from_json
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


@SETTINGS
@given(json_values(), st.booleans())
def test_json_round_trip(value, ascii_only):
    text = json.dumps(value, ensure_ascii=ascii_only)
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


# --- emit in one pass against the road of separate stages -----------------------------------------

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


def outcome(emit, value):
    """The bytes, or the exception's type, text and notes."""
    try:
        return emit(value)
    except Exception as error:  # noqa: BLE001 - the comparison is the test
        return type(error), str(error), getattr(error, "__notes__", None)


def emit_inputs():
    """Python values of every kind emit meets, refused ones included: mixed
    arrays, unsupported objects, keys that are not str or not UTF-8."""
    texts = st.one_of(st.text(max_size=6), st.sampled_from(["k", "\ud800", "x\udfff"]),
                      st.text(max_size=3).map(HashlessStr))
    leaves = st.one_of(
        st.booleans(), st.integers(-(2**70), 2**70), st.integers(-5, 5).map(BigInt),
        st.floats(), texts, st.sampled_from([None, (), b"", RaisingIndex()]),
    )
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.dictionaries(st.one_of(texts, st.sampled_from([1, None])), children, max_size=4),
            st.lists(children, max_size=4),
            st.lists(st.one_of(st.integers(-(2**64), 2**64), st.floats()), max_size=5),
            st.lists(st.dictionaries(st.sampled_from("abc"), children, max_size=3), max_size=4),
        ),
        max_leaves=30,
    )


@SETTINGS
@given(emit_inputs())
def test_emit_matches_the_tree_road(value):
    tree_road = pytest.importorskip("velq_tree_road")
    assert outcome(velq.emit, value) == outcome(tree_road.emit, value)


def shapes(n):
    """n dicts of n distinct shapes (by the types of their five values)."""
    kinds = [True, 1, 1.5, "s", [], {}]
    return [{str(j): kinds[(i // 6**j) % 6] for j in range(5)} for i in range(n)]


WIDE_DICT = {f"k{i}": i for i in range(129)}  # 258 fields
LONG_TEXT = "x" * (2**24)
LIMIT_CASES = {
    # 2039 shapes, the list, [] and {}: 2048 definitions with the built-in ones.
    "most shapes": shapes(2039),
    "too many shapes": shapes(2040),
    "too many fields": [WIDE_DICT],
    "most items": [0] * 65535,
    "too many items": [0] * 65536,
    "longest text": LONG_TEXT[:-1],
    "text too long": [LONG_TEXT],
    "conversion before definitions": {"a": shapes(2040), "b": [None]},
    "definitions before fields": {"a": shapes(2040), "b": WIDE_DICT},
    "fields before the encoder": {"a": WIDE_DICT, "b": [0] * 70000},
    "dictionary before the data": {"a": [0] * 70000, "b": LONG_TEXT},
    "outer count before inner": [[0] * 70001] + [[0]] * 69999,
    "mixed before the encoder": {"a": [LONG_TEXT], "b": [[1, "a"]]},
}


# Values at and beyond the limits, alone and together: the first failure wins in
# the order conversion, definition count, field counts, encoder.
@pytest.mark.parametrize("case", LIMIT_CASES)
def test_limits_match_the_tree_road(case):
    tree_road = pytest.importorskip("velq_tree_road")
    assert outcome(velq.emit, LIMIT_CASES[case]) == outcome(tree_road.emit, LIMIT_CASES[case])
