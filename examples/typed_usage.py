"""A small typed program using velq; `make test` runs mypy --strict over it."""

import os
import tempfile

import velq


def round_trip(text: str) -> object:
    data: bytes = velq.dumps(text)
    return velq.loads(data)


def emit_sizes(records: list[dict[str, int | str]]) -> int:
    return len(velq.emit(records))


def through_file(text: str) -> object:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "doc.velq")
        velq.dump(text, path)
        return velq.load(path)


if __name__ == "__main__":
    print(round_trip('{"a": [1, 2, 3]}'))
    print(emit_sizes([{"id": 1, "name": "x"}]))
    print(through_file('"hello"'))
    print(velq.__all__)
