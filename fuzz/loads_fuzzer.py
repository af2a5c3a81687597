"""loads on arbitrary bytes: a value of the documented shape or ValueError,
never anything else; the same outcome for a bytes subclass and (for a share
of the inputs) through load from a file; TypeError for the types loads does
not take."""

import sys

from pyfuzz import (PATH, POLLED_BYTES, POLLED_VALUE, PREFIX, at_a_poll, check, check_loaded, check_value_error, main,
                    outcome, raised, same_outcome)

import velq


class Bytes(bytes):
    pass


WRONG_TYPES = (bytearray, memoryview, lambda data: data.decode("latin-1"), lambda data: None, lambda data: [data])


def test_one_input(data):
    try:
        value = velq.loads(data)
    except ValueError as error:
        check_value_error(error, "loads")
        value = ("raised", ValueError, str(error))
    else:
        check_loaded(value)
    # A result container is held by nothing else.
    if type(value) in (list, dict):
        check(sys.getrefcount(value) == 2, f"result has {sys.getrefcount(value)} references")

    choice = data[-1] if data else 0
    same_outcome(outcome(velq.loads, Bytes(data)), value, "loads of a bytes subclass")
    wrong = WRONG_TYPES[choice % len(WRONG_TYPES)](data)
    try:
        velq.loads(bytes=wrong) if choice & 0x80 else velq.loads(wrong)
    except TypeError as error:
        check(getattr(error, "__notes__", None) == ["while processing 'bytes'"], f"note: {error.__notes__!r}")
    else:
        raise AssertionError(f"loads took a {type(wrong).__name__}")

    if choice % 16 == 1:
        # Re-entered from Python code run by a poll of another loads.
        inner = []
        outer, _ = at_a_poll(lambda: inner.append(outcome(velq.loads, data)), velq.loads, POLLED_BYTES)
        check(outer == POLLED_VALUE, f"loads around a re-entry: {outer!r:.200}")
        if inner:
            same_outcome(inner[0], value, "loads re-entered from a poll")

    if choice % 4 == 0:
        with open(PATH, "wb") as out:
            out.write(data)
        from_file = outcome(velq.load, PATH)
        if raised(from_file):
            check(from_file[1] is ValueError and from_file[2].startswith(PREFIX), f"load: {from_file!r}")
        same_outcome(from_file, value, "load")


if __name__ == "__main__":
    main(test_one_input)
