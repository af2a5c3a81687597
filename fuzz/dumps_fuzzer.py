"""dumps on arbitrary text, against Python's json module:
  - text json refuses, dumps refuses with ValueError;
  - text json reads, dumps refuses only for the documented reasons (mixed
    arrays, unsigned integers from 2^63 up beside signed ones included,
    more than 256 keys or 65535 items, keys of more than 255 bytes, more
    than 127 levels, numbers beyond the double range, NaN and Infinity,
    lone surrogates) and for too many shapes; otherwise loads(dumps(text))
    is conftest.expected_from_json of json's value (32-bit numbers, widened
    number arrays, keys in byte order), or refuses a float that became
    infinite;
  - a str that is not valid UTF-8 (lone surrogates) fails with UnicodeEncodeError;
  - for a share of the inputs, dump writes the same bytes to a file (or
    leaves it untouched when dumps refuses) and load reads them back."""

import json
import math

from pyfuzz import (PATH, POLLED_TEXT, PREFIX, at_a_poll, check, check_read_back, check_value_error,
                    expected_from_json, main, outcome, raised, same_outcome)

import velq

DEPTH = 127


class Refused(Exception):
    """json reads the text, velq must not."""


def parse_float(text):
    number = float(text)
    if not math.isfinite(number):
        raise Refused(f"number out of range: {text}")
    return number


def parse_int(text):
    # velq holds -0 as a double (it comes back as -0.0); json gives the int 0.
    if text == "-0":
        return -0.0
    number = int(text)
    if not -(2**63) <= number < 2**64:
        try:
            float(number)
        except OverflowError:
            raise Refused(f"number out of range: {text}") from None
    return number


def parse_constant(text):
    raise Refused(text)


class Pairs(list):
    """An object's members as written, duplicates included (the parser refuses
    a bad member even when a later one with the same key replaces it)."""


def members(pairs):
    return Pairs(pairs)


def parser_refusal(value, depth=1):
    """What the parser refuses anywhere in the text: nesting beyond 127 levels
    and strings that are not valid UTF-8 (lone surrogate escapes)."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return "lone surrogate"
        return None
    if not isinstance(value, list):
        return None
    if depth > DEPTH:
        return "too deep"
    items = [x for pair in value for x in pair] if isinstance(value, Pairs) else value
    for item in items:
        reason = parser_refusal(item, depth + 1)
        if reason:
            return reason
    return None


def as_value(parsed):
    """The value the parser keeps: the last member of each key wins."""
    if isinstance(parsed, Pairs):
        return {key: as_value(item) for key, item in parsed}
    if isinstance(parsed, list):
        return [as_value(item) for item in parsed]
    return parsed


def kind(value):
    """The stored type: an integer from 2^63 up is unsigned, one beyond 64 bits a float."""
    if type(value) is int:
        if not -(2**63) <= value < 2**64:
            return "float"
        return "uint" if value >= 2**63 else "int"
    return type(value).__name__


def compiler_refusal(value):
    """What the compiler refuses in the parsed value."""
    if isinstance(value, dict):
        if len(value) > 256:
            return "too many fields"
        if any(len(key.encode("utf-8")) > 255 for key in value):
            return "field name too long"
        items = value.values()
    elif isinstance(value, list):
        if len(value) > 65535:
            return "too many items"
        kinds = {kind(item) for item in value}
        # Numbers of several types widen to floats when there is a float among them.
        if len(kinds) > 1 and not ("float" in kinds and kinds <= {"int", "uint", "float"}):
            return "mixed array"
        items = value
    else:
        return None
    for item in items:
        reason = compiler_refusal(item)
        if reason:
            return reason
    return None


def read_json(text):
    """("value", v), ("refused", reason) or ("invalid", message)."""
    try:
        parsed = json.loads(text, parse_float=parse_float, parse_int=parse_int, parse_constant=parse_constant,
                            object_pairs_hook=members)
    except Refused as reason:
        return "refused", str(reason)
    except RecursionError:
        return "refused", "too deep"
    except ValueError as error:
        return "invalid", str(error)
    reason = parser_refusal(parsed)
    if reason:
        return "refused", reason
    value = as_value(parsed)
    reason = compiler_refusal(value)
    return ("refused", reason) if reason else ("value", value)


POLLED_DUMPED = velq.dumps(POLLED_TEXT)


def test_one_input(data):
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = data.decode("utf-8", "surrogateescape")
    try:
        text.encode("utf-8")
        encodable = True
    except UnicodeEncodeError:
        encodable = False

    try:
        result = velq.dumps(text)
    except UnicodeEncodeError as error:
        check(not encodable, f"dumps: {error!r} for a str that UTF-8 can encode")
        check(getattr(error, "__notes__", None) == ["while processing 'json_text'"], "note")
        return
    except ValueError as error:
        check_value_error(error, "dumps")
        result = ("raised", ValueError, str(error))
    check(encodable, "dumps took a str that UTF-8 cannot encode")

    status, parsed = read_json(text)
    if raised(result):
        check(status != "value" or result[2].startswith(PREFIX + "Definition count"),
              f"dumps refused what json reads: {result[2]}")
    else:
        check(status == "value", f"dumps took text that json {status}: {parsed}")
        check(type(result) is bytes, "dumps result")
        check_read_back(result, expected_from_json(parsed), "loads(dumps(text))")

    if len(data) % 8 == 3:
        # Re-entered from Python code run by a poll of another dumps.
        inner = []
        outer, _ = at_a_poll(lambda: inner.append(outcome(velq.dumps, text)), velq.dumps, POLLED_TEXT)
        check(outer == POLLED_DUMPED, f"dumps around a re-entry: {outer!r:.200}")
        if inner:
            same_outcome(inner[0], result, "dumps re-entered from a poll")

    if data[-1:] in (b"]", b"}", b"0", b"1", b"e"):
        with open(PATH, "wb") as out:
            out.write(b"untouched")
        written = outcome(velq.dump, text, PATH)
        with open(PATH, "rb") as written_file:
            content = written_file.read()
        if raised(result):
            check(written == result and content == b"untouched", f"dump: {written!r}, file {content[:20]!r}")
        else:
            check(written is None and content == result, f"dump: {written!r}, file differs from dumps")
            same_outcome(outcome(velq.load, PATH), outcome(velq.loads, result), "load")


if __name__ == "__main__":
    main(test_one_input)
