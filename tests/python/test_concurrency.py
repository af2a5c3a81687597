"""Several threads calling the five functions at once on shared inputs, while
one thread changes a list and a dict that another is emitting."""

import sys
import threading
import tracemalloc

import velq

ROWS = [{"id": i, "name": f"name {i}", "tags": ["a", f"t{i % 7}"], "w": i / 8} for i in range(200)]
TEXT = str(ROWS).replace("'", '"')
VALUE = [{"id": i, "name": f"name {i}", "w": [i, 0.5]} for i in range(200)]


class Slow:
    """An integer whose conversion runs Python code, so that the interpreter
    can switch threads in the middle of an emit."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return sum(range(self.value % 50)) and self.value


def run_round(path, shared_path, expected, mutated_list, mutated_dict, rounds=5):
    errors = []
    stop = threading.Event()

    def worker(call):
        try:
            for _ in range(rounds):
                call()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    def own_dump():
        # One file per thread: two threads writing one path race in the file
        # system, not in velq.
        own_path = f"{path}.{threading.get_ident()}"
        velq.dump(TEXT, own_path)
        with open(own_path, "rb") as written:
            assert written.read() == expected["dumps"]

    def emit_changing(target):
        try:
            data = velq.emit(target)
        except (RuntimeError, ValueError, TypeError):
            return
        assert isinstance(velq.loads(data), dict if isinstance(target, dict) else list)

    def change():
        i = 0
        while not stop.is_set():
            i += 1
            mutated_list.append(Slow(i))
            if len(mutated_list) > 300:
                del mutated_list[:200]
            mutated_dict[f"k{i % 150}"] = Slow(i)
            if i % 3 == 0:
                mutated_dict.pop(f"k{(i * 7) % 150}", None)

    calls = [
        lambda: assert_equal(velq.dumps(TEXT), expected["dumps"]),
        lambda: assert_equal(velq.loads(expected["dumps"]), expected["loads"]),
        own_dump,
        lambda: assert_equal(velq.load(shared_path), expected["loads"]),
        lambda: assert_equal(velq.emit(VALUE), expected["emit"]),
        lambda: emit_changing(mutated_list),
        lambda: emit_changing(mutated_dict),
    ]
    changer = threading.Thread(target=change)
    threads = [threading.Thread(target=worker, args=(call,)) for call in calls * 2]
    changer.start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stop.set()
    changer.join()
    if errors:
        raise errors[0]


def assert_equal(actual, expected):
    assert actual == expected


def test_threads_calling_every_function_at_once(tmp_path):
    shared_path = str(tmp_path / "shared.velq")
    velq.dump(TEXT, shared_path)
    expected = {"dumps": velq.dumps(TEXT), "emit": velq.emit(VALUE)}
    expected["loads"] = velq.loads(expected["dumps"])
    mutated_list = [Slow(i) for i in range(100)]
    mutated_dict = {f"k{i}": Slow(i) for i in range(100)}
    counts = [sys.getrefcount(x) for x in (TEXT, VALUE, VALUE[0], expected["dumps"])]
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        args = (str(tmp_path / "own.velq"), shared_path, expected, mutated_list, mutated_dict)
        # The first rounds warm the interpreter's caches; then Python memory stays flat.
        run_round(*args)
        run_round(*args)
        tracemalloc.start()
        try:
            run_round(*args)
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(4):
                run_round(*args)
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    finally:
        sys.setswitchinterval(switch)
    assert grown < 256 * 1024, f"traced memory grew by {grown} bytes"
    assert [sys.getrefcount(x) for x in (TEXT, VALUE, VALUE[0], expected["dumps"])] == counts
