"""emit: Python values straight to VELQ bytes, and the conversion rules."""

import collections
import enum
import itertools
import json
import math
from decimal import Decimal
from fractions import Fraction

import pytest
from conftest import Index, MyDict, MyFloat, MyInt, MyList, MyStr, assert_identical, expected_from_emit, f32_of_int

import velq

BUILTIN_DEFINITIONS = "0600 000000 010100 020200 030300 040400 050500"


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def round_trip(value):
    return velq.loads(velq.emit(value))


def definition_count(data):
    return int.from_bytes(data[13:15], "little")


def test_emit_bytes_of_primitive_roots():
    assert velq.emit(1) == hexbytes("01 0D000000 21000000 25000000" + BUILTIN_DEFINITIONS + "00000000"
                                    "01000000 0200 04000000 01000000")
    # Every string is listed in the dictionary but stays inline in the data.
    assert velq.emit("abc") == hexbytes("01 0D000000 21000000 29000000" + BUILTIN_DEFINITIONS + "01000000 03616263"
                                        "01000000 0500 04000000 03616263")


@pytest.mark.parametrize(
    "value, result",
    [
        (True, True),
        (False, False),
        (1, 1),
        (-1, -1),
        (2**31, -(2**31)),
        (2**32 + 5, 5),
        (2**63 - 1, -1),
        (-(2**63), 0),
        (2**63, 9.223372036854775808e18),
        (-(2**63) - 1, -9.223372036854775808e18),
        (1.5, 1.5),
        (0.1, 0.10000000149011612),
        (-0.0, -0.0),
        ("", ""),
        ("h\u00e9llo \U0001F600", "h\u00e9llo \U0001F600"),
        ([], []),
        ({}, {}),
        ({"a": 1}, {"f0": "a", "f1": 1}),
        # Keys are values here, so the 255-byte limit on field names does not apply.
        ({"k" * 256: 1}, {"f0": "k" * 256, "f1": 1}),
        ({"b": 1, "a": 2}, {"f0": "b", "f1": 1, "f2": "a", "f3": 2}),
        ({str(i): i for i in range(6)}, {f"f{i}": (str(i // 2) if i % 2 == 0 else i // 2)
                                         for i in sorted(range(12), key=lambda i: f"f{i}")}),
        ([{"a": 1}, {"b": 2}], [{"f0": "a", "f1": 1}, {"f0": "b", "f1": 2}]),
        ([[1], ["a"], []], [[1], ["a"], []]),
        ([1, 2.5], [1.0, 2.5]),
        ([0, -0.0], [0.0, -0.0]),
        ([16777217, 16777219, 0.5], [16777216.0, 16777220.0, 0.5]),
        # The integer is rounded once from its exact value, not from its low 32 bits or from a double.
        ([2**40 + 1, 0.5], [float(2**40), 0.5]),
        ([2**60 + 2**36 + 1, 0.5], [float(2**60 + 2**37), 0.5]),
        ([2**70, 1], [1.1805916207174113e21, 1.0]),
        ([0.5, 16777217, 2**40 + 1], [0.5, 16777216.0, float(2**40)]),
        # Around the largest integers that CPython stores in one digit.
        ([2**30 - 1, 2**30, -(2**30), -(2**30) - 1], [2**30 - 1, 2**30, -(2**30), -(2**30) - 1]),
        ([-(2**30) - 1, 2**30 + 1, 0.5], [-1073741824.0, 1073741824.0, 0.5]),
    ],
)
def test_values_read_back(value, result):
    assert_identical(round_trip(value), result)


@pytest.mark.parametrize(
    "value, definitions",
    [([{"a": 1}, {"b": 2}], 8), ({"x": [1], "y": [2.5]}, 9), ([{"a": 1, "b": "x"}, {"c": 2, "d": "y"}], 8)],
)
def test_shapes_are_shared(value, definitions):
    assert definition_count(velq.emit(value)) == definitions


def test_dictionary_lists_each_distinct_string_once():
    texts = [f"s{i}" + "~" * (i % 7) for i in range(5000)]
    # Equal texts in distinct str objects, and a key that repeats as a value.
    value = {"a": texts, "b": ["".join(text) for text in texts], texts[1]: texts[2]}
    data = velq.emit(value)
    dict_offset = int.from_bytes(data[5:9], "little")
    assert int.from_bytes(data[dict_offset:dict_offset + 4], "little") == len(texts) + 2
    result = velq.loads(data)
    assert result["f1"] == result["f3"] == texts


class Float:
    def __float__(self):
        return 2.5


class Both(Float, Index):
    pass


def fake_numpy_bool(name, module="numpy", truth=True, broken=False):
    def to_bool(self):
        if broken:
            raise TypeError("no truth")
        return truth

    return type(name, (), {"__module__": module, "__bool__": to_bool})()


@pytest.mark.parametrize(
    "value, result",
    [
        (Index(7), 7),
        (Index(2**32 + 3), 3),
        (Index(2**70), float(2**70)),  # too large for 64 bits: goes on to the float test
        (Float(), 2.5),
        (Both(3), 3),
        (Decimal("2"), 2.0),
        (Fraction(1, 3), 0.3333333432674408),
        (MyInt(5), 5),
        (MyFloat(0.5), 0.5),
        (MyStr("s"), "s"),
        (MyDict(k=MyList([1, 2])), {"f0": "k", "f1": [1, 2]}),
        (collections.OrderedDict(b=1), {"f0": "b", "f1": 1}),
        ({MyStr("k"): True}, {"f0": "k", "f1": True}),
        (fake_numpy_bool("bool_"), True),
        (fake_numpy_bool("bool", truth=False), False),
        ([fake_numpy_bool("bool_"), True], [True, True]),
    ],
)
def test_conversion_of_other_types(value, result):
    assert_identical(round_trip(value), result)


def test_numpy_scalars():
    numpy = pytest.importorskip("numpy")
    assert_identical(round_trip([numpy.True_, numpy.bool_(False)]), [True, False])
    assert_identical(round_trip([numpy.int64(5), numpy.int32(-2)]), [5, -2])
    assert_identical(round_trip(numpy.float32(1.5)), 1.5)
    # A 0-dimensional array converts like its scalar; others are refused.
    assert_identical(round_trip([numpy.array(7), numpy.array(2.5)]), [7.0, 2.5])
    for array in [numpy.array([1, 2]), numpy.zeros((2, 2))]:
        with pytest.raises(TypeError, match="^Unsupported Python type: 'ndarray'$"):
            velq.emit(array)


class Unnamed:
    pass


class Plain(enum.Enum):
    A = 1


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "Unsupported Python type: 'NoneType'"),
        ([1, None], "Unsupported Python type: 'NoneType'"),
        ({"a": {"b": None}}, "Unsupported Python type: 'NoneType'"),
        ((1, 2), "Unsupported Python type: 'tuple'"),
        ({1}, "Unsupported Python type: 'set'"),
        (b"x", "Unsupported Python type: 'bytes'"),
        (Unnamed(), "Unsupported Python type: 'Unnamed'"),
        (Plain.A, "Unsupported Python type: 'Plain'"),
        (10**400, "Unsupported Python type: 'int'"),
        ("\ud800", "Unsupported Python type: 'str'"),
        (fake_numpy_bool("bool_", module="elsewhere"), "Unsupported Python type: 'bool_'"),
        (fake_numpy_bool("bool_", broken=True), "Unsupported Python type: 'bool_'"),
        (fake_numpy_bool("boolean"), "Unsupported Python type: 'boolean'"),
        ({1: 2}, "'int' object is not an instance of 'str'"),
        ({"a": {None: 2}}, "'None' is not an instance of 'str'"),
    ],
)
def test_unsupported_values(value, message):
    with pytest.raises(TypeError) as info:
        velq.emit(value)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_key_that_is_not_utf8():
    with pytest.raises(UnicodeEncodeError):
        velq.emit({"\udc80": 1})


def nested_list(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


def nested_dict(levels):
    value = 1
    for _ in range(levels):
        value = {"k": value}
    return value


def self_containing_list():
    value = []
    value.append(value)
    return value


def self_containing_dict():
    value = {}
    value["me"] = value
    return value


MIXED = "Failed to parse VELQ: Mixed array item at "


@pytest.mark.parametrize(
    "value, message",
    [
        ({"k": ["x", 1]}, MIXED + "/k/1: Int32 in an array of String"),
        ([True, 1], MIXED + "/1: Int32 in an array of Bool"),
        ([1, True], MIXED + "/1: Bool in an array of Int32"),
        ([1.5, True], MIXED + "/1: Bool in an array of Float32"),
        ([1, 2.5, "a"], MIXED + "/1: Float32 in an array of Int32"),
        ([[1], 1], MIXED + "/1: Int32 in an array of Array"),
        ([{}, []], MIXED + "/1: Array in an array of Object"),
        ({"a/b": {"~": [1, "x"]}}, MIXED + "/a~1b/~0/1: String in an array of Int32"),
        # Checked as soon as the inner list is converted, before the None after it.
        ([[1, "a"], None], MIXED + "/0/1: String in an array of Int32"),
        (nested_list(129), "Failed to parse VELQ: Max recursion depth"),
        (nested_dict(129), "Failed to parse VELQ: Max recursion depth 128 exceeded at Object"),
        ([nested_dict(128)], "Failed to parse VELQ: Max recursion depth 128 exceeded at Object"),
        ({"k": nested_list(128)}, "Failed to parse VELQ: Max recursion depth"),
        (self_containing_list(), "Failed to parse VELQ: Max recursion depth"),
        (self_containing_dict(), "Failed to parse VELQ: Max recursion depth 128 exceeded at Object"),
        ({str(i): i for i in range(129)}, "Failed to parse VELQ: Object #6 has 258 fields (max 256)"),
        ([dict(zip("abcdef", types)) for types in itertools.islice(itertools.product([1, "s", 1.5, True], repeat=6),
                                                                       2042)],
         "Failed to parse VELQ: Definition count 2049 exceeds max 2048"),
        # The reader's limits come before the encoder's checks.
        ({"s": "x" * 16777216, **{str(i): i for i in range(128)}},
         "Failed to parse VELQ: Object #6 has 258 fields (max 256)"),
        ("x" * 16777216, "Failed to parse VELQ: String exceeds maximum inline length (16 777 215 bytes)"),
    ],
)
def test_refused_values(value, message):
    with pytest.raises(ValueError) as info:
        velq.emit(value)
    assert str(info.value) == message


def test_too_many_array_items():
    assert len(round_trip([0] * 65535)) == 65535
    with pytest.raises(ValueError, match="^Failed to parse VELQ: "):
        velq.emit([0] * 65536)


@pytest.mark.parametrize(
    "value",
    [
        nested_list(128),
        nested_dict(128),
        {str(i): i for i in range(128)},
        [dict(zip("abcdef", types)) for types in itertools.islice(itertools.product([1, "s", 1.5, True], repeat=6),
                                                                   2041)],
    ],
)
def test_values_at_the_reader_limits(value):
    assert_identical(round_trip(value), expected_from_emit(value))


# JSON text reads 2**63 to 2**64 - 1 as unsigned integers, which share no array
# with signed ones; emit makes every int beyond int64 a float.
@pytest.mark.parametrize("big", [2**63, 2**64 - 1])
def test_integers_beyond_int64_in_arrays(big):
    with pytest.raises(ValueError, match="Mixed array item at /1: UInt32 in an array of Int32"):
        velq.dumps(f"[1, {big}]")
    assert_identical(round_trip([1, big]), [1.0, f32_of_int(big)])


# emit lists every distinct string in the dictionary and still writes each
# occurrence inline, and keeps dict keys as data. dumps writes a repeated string
# once and then 5-byte references, which only strings of up to 3 bytes undercut.
@pytest.mark.parametrize(
    "value, emit_is",
    [
        ({"name": "x", "tags": ["x", "y"]}, "larger"),
        ([{"id": i, "name": f"n{i}"} for i in range(100)], "larger"),
        (["abcdef"] * 100, "larger"),
        ([1.5, 2.5], "equal"),
        (["ab"] * 100, "smaller"),
    ],
)
def test_size_against_dumps(value, emit_is):
    emitted, dumped = len(velq.emit(value)), len(velq.dumps(json.dumps(value)))
    assert {1: "larger", 0: "equal", -1: "smaller"}[(emitted > dumped) - (emitted < dumped)] == emit_is


def test_widening_matches_dumps():
    for text, value in [("[1, 2.5]", [1, 2.5]), ("[4294967301, 0.5]", [4294967301, 0.5])]:
        assert velq.loads(velq.dumps(text)) == round_trip(value)
    for text, value in [('[1, 2.5, "a"]', [1, 2.5, "a"]), ('[true, 1]', [True, 1])]:
        with pytest.raises(ValueError) as from_text:
            velq.dumps(text)
        with pytest.raises(ValueError) as from_value:
            velq.emit(value)
        assert str(from_text.value) == str(from_value.value)


class Mutator:
    """An integer whose conversion runs code that changes its container."""

    def __init__(self, action, value=2):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def test_dict_resized_during_conversion():
    grown = {"a": 1}
    grown["b"] = Mutator(lambda: grown.update(c=3))
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        velq.emit(grown)

    swapped = {}
    swapped["a"] = Mutator(lambda: (swapped.pop("a"), swapped.update(c=3)))
    swapped["b"] = 1
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        velq.emit(swapped)


def test_list_changed_during_conversion():
    shrunk = [1, None, None]
    shrunk[1] = Mutator(shrunk.clear)
    assert round_trip(shrunk) == [1, 2]

    grown = [1, None]
    grown[1] = Mutator(lambda: grown.append(3))
    assert round_trip(grown) == [1, 2]


def test_non_finite_floats_are_written_but_not_read():
    for value, shown in [(1e300, "inf"), (-math.inf, "-inf"), (math.nan, "NaN")]:
        data = velq.emit(value)
        with pytest.raises(ValueError, match=f"^Failed to parse VELQ: Cannot represent float {shown}$"):
            velq.loads(data)
