"""Memory stays flat over many calls, and returned objects carry exactly the
references their containers give them."""

import gc
import json
import os
import sys

import pytest

import velq

PAGE = os.sysconf("SC_PAGE_SIZE")
ROWS = [{"id": i, "name": f"name {i}", "tags": ["a", "b", f"t{i}"], "w": i / 8} for i in range(1000)]
TEXT = json.dumps({"rows": ROWS})
DATA = velq.dumps(TEXT)
EMIT_VALUE = [{"id": i, "name": f"name {i}", "w": [i, 0.5]} for i in range(1000)]
TOO_DEEP = [1]
for _ in range(130):
    TOO_DEEP = [TOO_DEEP]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def run(call, rounds):
    for _ in range(rounds):
        try:
            call()
        except (TypeError, ValueError):
            pass


# Every function on its success and failure paths. Each input is tens of KB,
# so keeping what one call built (a buffer, a document, a tree, the objects)
# grows memory by several MB over the measured rounds.
CASES = {
    "dumps": lambda path: velq.dumps(TEXT),
    "dumps invalid JSON": lambda path: velq.dumps(TEXT[:-1]),
    "dumps mixed array": lambda path: velq.dumps(TEXT[:-2] + ', "x"]}'),
    "dumps too many fields": lambda path: velq.dumps("{" + ",".join(f'"k{i}":[1]' for i in range(3000)) + "}"),
    "dumps bad argument": lambda path: velq.dumps("\ud800" + TEXT),
    "loads": lambda path: velq.loads(DATA),
    "loads damaged": lambda path: velq.loads(DATA[:-3]),
    "loads infinity": lambda path: velq.loads(velq.dumps(TEXT[:-2] + ', {"w": 1e39}]}')),
    "loads bad argument": lambda path: velq.loads(TEXT),
    "dump": lambda path: velq.dump(TEXT, path),
    "dump missing folder": lambda path: velq.dump(TEXT, path + "/missing/x"),
    "dump NUL path": lambda path: velq.dump(TEXT, path + "\0"),
    "dump invalid JSON": lambda path: velq.dump(TEXT[:-1], path),
    "load": lambda path: velq.load(path),
    "load absent file": lambda path: velq.load(path + ".absent"),
    "emit": lambda path: velq.emit(EMIT_VALUE),
    "emit None inside": lambda path: velq.emit(EMIT_VALUE + [None]),
    "emit mixed array": lambda path: velq.emit([EMIT_VALUE, [1, "x"]]),
    "emit bad key": lambda path: velq.emit({"k": EMIT_VALUE, 5: 1}),
    "emit too many fields": lambda path: velq.emit({f"k{i}": EMIT_VALUE[i] for i in range(300)}),
    "emit too deep": lambda path: velq.emit([EMIT_VALUE, TOO_DEEP]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_memory_stays_flat(tmp_path, name):
    path = str(tmp_path / "doc.velq")
    velq.dump(TEXT, path)
    call = lambda: CASES[name](path)  # noqa: E731
    run(call, 30)
    gc.collect()
    before = resident_bytes()
    run(call, 200)
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 3 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def test_arguments_keep_their_reference_counts(tmp_path):
    key, text, data, value = "a long key", "[" + "1," * 10 + "1]", velq.dumps("[1]"), 123456789
    container = {key: [value, value]}
    bad = {key: [value, None]}
    before = [sys.getrefcount(x) for x in (key, text, data, value, container, bad)]
    for _ in range(100):
        velq.dumps(text)
        velq.loads(data)
        velq.emit(container)
        with pytest.raises(TypeError):
            velq.emit(bad)
        with pytest.raises(TypeError):
            velq.loads(text)
    assert [sys.getrefcount(x) for x in (key, text, data, value, container, bad)] == before


def places_in(result):
    """Every object below the root, and the number of places it occupies."""
    objects, places, stack = {}, {}, [result]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            children = [*item.keys(), *item.values()]
        else:
            children = item if isinstance(item, list) else []
        for child in children:
            places[id(child)] = places.get(id(child), 0) + 1
            if id(child) not in objects:
                objects[id(child)] = child
                stack.append(child)
    return objects, places


def assert_reference_counts(result):
    """Each object is referred to once per place it occupies in the result
    (immortal objects such as None, True and small ints aside). What the
    measuring itself holds differs between interpreters, so a probe object
    held by `objects` alone is measured first, the same way."""
    objects, places = places_in(result)
    objects[0] = object()  # no object's id is 0
    places[0] = 0
    baseline = None
    for identity in [0, *places]:
        item = objects[identity]
        count = sys.getrefcount(item)
        baseline = count if baseline is None else baseline
        count -= baseline
        if count < 2**30:
            assert count == places[identity], f"{item!r}: {count} references, {places[identity]} places"


@pytest.mark.parametrize(
    "make",
    [
        lambda: velq.dumps(TEXT),
        lambda: velq.emit(EMIT_VALUE),
        lambda: velq.loads(DATA),
        lambda: velq.loads(velq.emit(EMIT_VALUE)),
        lambda: velq.loads(velq.dumps('[{"key one": "value", "key two": [1.5, 123456789]}, {"key one": "v"}]')),
    ],
)
def test_returned_objects_have_exact_reference_counts(make):
    result, alone = make(), object()
    assert sys.getrefcount(result) == sys.getrefcount(alone)
    assert_reference_counts(result)


def test_descriptors_are_closed(tmp_path):
    path = str(tmp_path / "doc.velq")
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(50):
        velq.dump("[1]", path)
        velq.load(path)
        for call in (lambda: velq.load(str(tmp_path)), lambda: velq.dump("[1]", str(tmp_path)),
                     lambda: velq.load(path + ".absent")):
            with pytest.raises(ValueError, match="^IO error: "):
                call()
    assert len(os.listdir("/proc/self/fd")) == before
