"""dumps and dump: JSON text to VELQ bytes and files."""

import json
import os
import pathlib
import stat
import subprocess
import sys

import pytest
from conftest import SAMPLES, assert_identical, run_child

import velq

BUILTIN_DEFINITIONS = "0600" + "000000 010100 020200 030300 040400 050500"


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def test_null_document_is_47_bytes():
    data = velq.dumps("null")
    assert len(data) == 47
    assert data == hexbytes(
        "01 0D000000 21000000 25000000" + BUILTIN_DEFINITIONS + "00000000" + "01000000 0000 00000000"
    )
    assert velq.loads(data) is None


def test_object_with_repeated_string_bytes():
    data = velq.dumps('{"name":"x","tags":["x","y"]}')
    assert data == hexbytes(
        "01 0D000000 36000000 3C000000"
        "0800" + BUILTIN_DEFINITIONS[4:] + "10 0600 05" + "11 0700 0200 046E616D6505 047461677310"
        "01000000 0178"
        "01000000 0700 11000000 0700 0178 0600 0500 0200 FF00000000 0179"
    )
    assert velq.loads(data) == {"name": "x", "tags": ["x", "y"]}


def definition_count(data):
    return int.from_bytes(data[13:15], "little")


@pytest.mark.parametrize(
    "text, definitions",
    [("[1]", 7), ("[[1],[2],[\"a\"]]", 9), ('[{"a":1},{"a":2}]', 8), ('{"a":1,"b":{"a":"x"}}', 8), ("{}", 7)],
)
def test_shapes_are_shared(text, definitions):
    assert definition_count(velq.dumps(text)) == definitions


@pytest.mark.parametrize(
    "text, value",
    [
        ("3000000000", -1294967296),
        ("4294967301", 5),
        ("-1", -1),
        ("18446744073709551615", 4294967295),
        ("18446744073709551616", 18446744073709551616.0),
        ("-9223372036854775809", -9223372036854775808.0),
        ("0", 0),
        ("-0", -0.0),
        ("1.5", 1.5),
        ("0.1", 0.10000000149011612),
        ('"only a string"', "only a string"),
        ('{"b":1,"a":2}', {"a": 2, "b": 1}),
        ('{"a":1,"a":2}', {"a": 2}),
        ('["x","x","x"]', ["x", "x", "x"]),
        ('{"b":"v","a":"v"}', {"a": "v", "b": "v"}),
        ("[[1,2],[3],[]]", [[1, 2], [3], []]),
        ("[null, null]", [None, None]),
        ("[1, 2.5]", [1.0, 2.5]),
        ("[0, 0, -0]", [0.0, 0.0, -0.0]),
        ("[3000000000, 0.5]", [3000000000.0, 0.5]),
        ("[16777217, 0.5]", [16777216.0, 0.5]),
        # A decimal is rounded to a double, then to a float32: this one lies just
        # above the midpoint of 1 and the next float32, but its double is that
        # midpoint, which rounds to even. A widened integer is rounded once, so
        # 2^60 + 2^36 + 1 gives 2^60 + 2^37, and written as a decimal 2^60.
        ("1.0000000596046448", 1.0),
        ("[1152921573326323713, 0.5]", [1.1529216420458004e18, 0.5]),
        ("[1152921573326323713.0, 0.5]", [1.152921504606847e18, 0.5]),
    ],
)
def test_values_read_back(text, value):
    assert_identical(velq.loads(velq.dumps(text)), value)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("x", "expected value at line 1 column 1"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ("1 2", "trailing characters at line 1 column 3"),
        ("\ufeff1", "expected value at line 1 column 1"),
        ("1e400", "number out of range at line 1 column 5"),
        ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
        ('[1, "a"]', "Mixed array item at /1: String in an array of Int32"),
        ('{"a":[1,null]}', "Mixed array item at /a/1: Null in an array of Int32"),
        ("[null, 1]", "Mixed array item at /0: Null in an array of Int32"),
        ("[1, 2.5, null]", "Mixed array item at /2: Null in an array of Float32"),
        ('[[1,"a"],1]', "Mixed array item at /0/1: String in an array of Int32"),
        ("[1, 18446744073709551615]", "Mixed array item at /1: UInt32 in an array of Int32"),
        ('{"a/b":{"c~d":[true,1]}}', "Mixed array item at /a~1b/c~0d/1: Int32 in an array of Bool"),
        ("{" + ",".join(f'"k{i}":1' for i in range(257)) + "}", "Object #6 has 257 fields (max 256)"),
        ("[" + ",".join(f'{{"k{i}":1}}' for i in range(2042)) + "]", "Definition count 2049 exceeds max 2048"),
    ],
)
def test_refused_text(text, message):
    with pytest.raises(ValueError) as info:
        velq.dumps(text)
    assert str(info.value) == "Failed to parse VELQ: " + message


@pytest.mark.parametrize(
    "text",
    [
        "[" * 127 + "]" * 127,
        "{" + ",".join(f'"k{i}":1' for i in range(256)) + "}",
        "[" + ",".join(f'{{"k{i}":1}}' for i in range(2041)) + "]",
        json.dumps({"k" * 255: 1}),
    ],
)
def test_documents_at_the_reader_limits_are_written(text):
    assert velq.loads(velq.dumps(text)) == json.loads(text)


def test_definition_count_is_checked_before_field_counts():
    wide = "{" + ",".join(f'"w{i}":1' for i in range(300)) + "}"
    text = "[" + ",".join(f'{{"k{i}":1}}' for i in range(2042)) + "," + wide + "]"
    with pytest.raises(ValueError, match="Definition count 2050 exceeds max 2048"):
        velq.dumps(text)


WIDE_ARRAY = "[" + ",".join(["0"] * 70000) + "]"
LONG_STRING = json.dumps("x" * 16777216)
LONG_KEY = json.dumps("k" * 256)
TOO_MANY_ITEMS = "Too many array items (70000), max 65535"
TOO_LONG = "String exceeds maximum inline length (16 777 215 bytes)"


# What the encoder refuses is reported after the compiler's own checks, and in
# the order the encoder writes: definitions, dictionary, then the data (members
# in key order).
@pytest.mark.parametrize(
    "text, message",
    [
        (f'{{"a":{WIDE_ARRAY},"b":[1,"x"]}}', "Mixed array item at /b/1: String in an array of Int32"),
        (f'{{"a":{WIDE_ARRAY},"b":[' + ",".join(f'{{"k{i}":1}}' for i in range(2042)) + "]}",
         "Definition count 2051 exceeds max 2048"),
        (f"{{{LONG_KEY}:{WIDE_ARRAY}}}", "Field name too long"),
        (f'{{"a":{WIDE_ARRAY},"b":{LONG_STRING}}}', TOO_MANY_ITEMS),
        (f'{{"a":{LONG_STRING},"b":{WIDE_ARRAY}}}', TOO_LONG),
        (f'{{"a":{WIDE_ARRAY},"b":{LONG_STRING},"c":{LONG_STRING}}}', TOO_LONG),
        (f"[{WIDE_ARRAY},[{WIDE_ARRAY}]]", TOO_MANY_ITEMS),
    ],
    ids=["mixed-first", "definition-count", "field-name", "items-before-string", "string-before-items",
         "dictionary-before-data", "outer-array-first"],
)
def test_encoder_failures_come_last_and_in_writing_order(text, message):
    with pytest.raises(ValueError) as info:
        velq.dumps(text)
    assert str(info.value) == "Failed to parse VELQ: " + message


@pytest.mark.parametrize("size", [0, 1, 127, 128, 16383, 16384, 70000])
def test_strings_of_every_length_form(size):
    value = {"a": "a" * size, "b": ["b" * size, "a" * size], "c": "b" * size}
    assert velq.loads(velq.dumps(json.dumps(value))) == value


@pytest.fixture
def umask():
    def set_umask(value):
        os.umask(value)

    previous = os.umask(0o022)
    yield set_umask
    os.umask(previous)


def test_large_non_ascii_text_is_encoded_for_the_call_alone(tmp_path):
    """From 4 Mi characters on, the text's UTF-8 is made for the call, in pages that go as it is
    parsed: the caller's str keeps no copy of it, and the bytes and errors, with their line and
    column, are those of a text read in place."""
    rows = [[{"name": f"caf\u00e9 {i % 5000}", "n": i} for i in range(k, k + 2000)] for k in range(0, 120_000, 2000)]
    text = json.dumps(rows, ensure_ascii=False, indent=1)
    assert len(text) >= 4 << 20
    size = sys.getsizeof(text)
    data = velq.dumps(text)
    assert sys.getsizeof(text) == size
    assert data == velq.dumps(json.dumps(rows, indent=1))
    assert velq.loads(data) == json.loads(text)
    path = tmp_path / "large.velq"
    velq.dump(text, str(path))
    assert path.read_bytes() == data
    at = text.rindex('"n"')
    broken = text[:at] + "?" + text[at + 1 :]
    messages = []
    for variant in (broken, broken.replace("\u00e9", "e!")):  # the second ASCII, with as many bytes per line
        with pytest.raises(ValueError) as info:
            velq.dumps(variant)
        messages.append(str(info.value))
    assert messages[0] == messages[1]
    assert f" at line {text.count(chr(10), 0, at) + 1} column " in messages[0]
    with pytest.raises(UnicodeEncodeError) as info:
        velq.dumps(text + "\ud800")
    assert info.value.start == len(text)
    assert info.value.__notes__ == ["while processing 'json_text'"]


def test_dump_writes_the_dumps_bytes(tmp_path):
    path = tmp_path / "doc.velq"
    text = '{"a": [1, 2, 3], "b": "x"}'
    assert velq.dump(text, str(path)) is None
    assert path.read_bytes() == velq.dumps(text)
    assert velq.load(str(path)) == {"a": [1, 2, 3], "b": "x"}


@pytest.mark.parametrize("mask, mode", [(0o022, 0o644), (0o077, 0o600), (0o000, 0o666)])
def test_dump_creates_files_with_0666_less_umask(tmp_path, umask, mask, mode):
    umask(mask)
    path = tmp_path / "doc.velq"
    velq.dump("1", str(path))
    assert stat.S_IMODE(path.stat().st_mode) == mode


def test_dump_truncates_an_existing_file(tmp_path):
    path = tmp_path / "doc.velq"
    path.write_bytes(b"\xAA" * 10000)
    velq.dump("[1]", str(path))
    assert path.read_bytes() == velq.dumps("[1]")


def test_dump_of_invalid_json_touches_nothing(tmp_path):
    existing = tmp_path / "existing.velq"
    existing.write_bytes(b"keep me")
    absent = tmp_path / "absent.velq"
    for path in (existing, absent):
        with pytest.raises(ValueError, match="^Failed to parse VELQ: "):
            velq.dump("[1,", str(path))
        with pytest.raises(ValueError, match="Mixed array item"):
            velq.dump('[1, "a"]', str(path))
    assert existing.read_bytes() == b"keep me"
    assert not absent.exists()


@pytest.mark.parametrize(
    "name, message",
    [
        ("a\0b", "IO error: file name contained an unexpected NUL byte"),
        ("missing/doc.velq", f"IO error: {os.strerror(2)} (os error 2)"),
        (".", f"IO error: {os.strerror(21)} (os error 21)"),
    ],
)
def test_dump_io_errors(tmp_path, name, message):
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError) as info:
        velq.dump("[1]", str(tmp_path / name))
    assert str(info.value) == message
    assert sorted(os.listdir(tmp_path)) == before



# Texts whose strings and whitespace runs cross the scans' blocks of 8, 16 and 32 bytes, read well
# and badly, and the sample documents.
ROAD_TEXTS = [
    *(f'[{" " * n}"{"é" * n}{tail}"{" " * n}]' for n in (7, 15, 16, 31, 47, 70) for tail in ("", "\\n", "\x1f")),
    *(f'{{"k":{"\n  " * n}x}}' for n in (3, 12, 30)),
    *(path.read_text(encoding="utf-8") for path in SAMPLES),
]


def road_outcomes(texts):
    """The road that runs, then the bytes (in hex) or the message of dumps for each text."""
    outcomes = [velq._scan_road]
    for text in texts:
        try:
            outcomes.append(velq.dumps(text).hex())
        except ValueError as error:
            outcomes.append(str(error))
    return outcomes


def assert_roads_agree(module, texts):
    """dumps of module.texts in a child on the scalar road writes what it writes here."""
    script = f"import json, sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r}); " \
             f"import test_dumps, {module}; print(json.dumps(test_dumps.road_outcomes({module}.{texts})))"
    scalar = json.loads(run_child(script, env={**os.environ, "VELQ_SCAN": "scalar"}))
    here = road_outcomes(getattr(sys.modules[module], texts))
    assert scalar[0] == "scalar"
    assert scalar[1:] == here[1:]


def test_scalar_road_writes_what_the_vector_road_writes():
    """VELQ_SCAN=scalar makes the parser scan in words instead of vectors: bytes and messages stay."""
    assert_roads_agree("test_dumps", "ROAD_TEXTS")

    child = subprocess.run([sys.executable, "-c", "import velq"], capture_output=True, text=True,
                           env={**os.environ, "VELQ_SCAN": "avx-9000"})
    assert "ImportError: VELQ_SCAN=avx-9000: this CPU has no such road" in child.stderr
