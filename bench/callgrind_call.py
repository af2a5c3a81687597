"""One call on a tiny document, for callgrind (see callgrind.sh): N calls of
one function on {"id":7,"name":"x","ok":true} in a plain Python loop,
  dumps: velq.dumps(text)      loads: velq.loads(velq.dumps(text))
  emit:  velq.emit(obj)
and, for reference, peers on the same document:
  orjson.loads: orjson.loads(text)
  msgspec.msgpack.decode, msgspec.msgpack.encode: reused Decoder and Encoder.
With N = 0 it does everything else (start-up, imports, the inputs, one
warm-up call), so that (Ir with N calls - Ir with 0 calls) / N is the cost of
one call plus one turn of the loop.

  python callgrind_call.py FUNCTION N
"""

import sys

TEXT = '{"id":7,"name":"x","ok":true}'
OBJ = {"id": 7, "name": "x", "ok": True}


def target(name: str):
  """(function, argument) for a name."""
  if name in ("dumps", "loads", "emit"):
    import velq
    return {"dumps": (velq.dumps, TEXT), "loads": (velq.loads, velq.dumps(TEXT)), "emit": (velq.emit, OBJ)}[name]
  if name == "orjson.loads":
    import orjson
    return orjson.loads, TEXT
  if name.startswith("msgspec."):
    import msgspec
    if name == "msgspec.msgpack.decode":
      return msgspec.msgpack.Decoder().decode, msgspec.msgpack.encode(OBJ)
    if name == "msgspec.msgpack.encode":
      return msgspec.msgpack.Encoder().encode, OBJ
  raise SystemExit(f"unknown function {name!r}")


def main() -> None:
  fn, arg = target(sys.argv[1])
  count = int(sys.argv[2])
  fn(arg)
  for _ in range(count):
    fn(arg)


if __name__ == "__main__":
  main()
