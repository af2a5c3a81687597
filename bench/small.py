"""velq against its peers on small documents (10 B to 5 KB), one call per
document, in one process: the fixed cost of a call, which whole corpus files
hide.

Documents: a few tiny literal ones and single records cut from corpus files,
each as minified JSON text (UTF-8, no escapes beyond JSON's own). For each:
  dumps: velq.dumps(text) against orjson.loads(text) alone, and against
         msgspec.json decode + msgspec.msgpack encode (reused Decoder and
         Encoder; the two calls timed apart and added up);
  loads: velq.loads(velq.dumps(text)) against msgspec.msgpack.Decoder().decode,
         ormsgpack.unpackb and msgpack.unpackb of each one's own encoding;
  emit:  velq.emit(obj) against msgspec.msgpack.Encoder().encode,
         ormsgpack.packb and msgpack.packb of the same obj (the parsed record
         within emit's rules, see common.prepare_for_emit).
Every contender is one function called with one argument in a bare loop; the
figure is the best of several samples of many calls, the samples of all
contenders of a document and operation taken round-robin.

  python small.py [--quick] --out FILE.json
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Callable

import msgpack
import msgspec
import orjson
import ormsgpack

import velq

from common import best_of_calls, prepare_for_emit, require_corpus

MODES = {
  # repeats: samples per contender; target: seconds per sample
  "full": {"repeats": 9, "target": 0.02},
  "quick": {"repeats": 5, "target": 0.004},
}

# The 30-byte document that callgrind.sh also counts per call.
TINY = '{"id":7,"name":"x","ok":true}'

LITERALS = [
  ("literal: {\"a\":1}", '{"a":1}'),
  ("literal: id, name, ok", TINY),
  ("literal: user and timestamp",
   '{"user":{"id":42,"email":"ada@example.com","roles":["admin","dev"],"active":true},"ts":1700000000,"score":0.5}'),
]

# (label, corpus file, path to the record: keys and indexes from the top)
RECORDS = [
  ("apache_builds.json: a job", "apache_builds.json", ("jobs", 0)),
  ("citm_catalog.json: an event", "citm_catalog.json", ("events", "138586341")),
  ("citm_catalog.json: a performance", "citm_catalog.json", ("performances", 0)),
  ("github_events.json: an event", "github_events.json", (0,)),
  ("twitter.json: a status", "twitter.json", ("statuses", 0)),
  ("synthea_fhir.json: an entry", "synthea_fhir.json", ("entry", 0)),
]

DUMPS_PEERS = ["orjson.loads", "msgspec.json decode + msgpack encode", "ormsgpack.packb(orjson.loads)"]
LOADS_PEERS = ["msgspec.msgpack.decode", "ormsgpack.unpackb", "msgpack.unpackb"]
EMIT_PEERS = ["msgspec.msgpack.encode", "ormsgpack.packb", "msgpack.packb"]


def minified(value) -> str:
  return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def documents() -> list[tuple[str, str]]:
  """(label, JSON text) of every document, smallest first."""
  docs = list(LITERALS)
  corpus = require_corpus()
  loaded: dict[str, object] = {}
  for label, name, path in RECORDS:
    if name not in loaded:
      loaded[name] = json.loads((corpus / name).read_text(encoding="utf-8"))
    value = loaded[name]
    for step in path:
      value = value[step]
    docs.append((label, minified(value)))
  return sorted(docs, key=lambda doc: len(doc[1].encode("utf-8")))


def bench_document(label: str, text: str, params: dict) -> dict:
  json_decoder = msgspec.json.Decoder()
  msgpack_encoder = msgspec.msgpack.Encoder()
  msgpack_decoder = msgspec.msgpack.Decoder()
  obj = orjson.loads(text)
  velq_bytes = velq.dumps(text)
  stats = {"nulls_dropped": 0, "dicts_truncated": 0, "items_dropped": 0}
  emit_obj = prepare_for_emit(obj, stats)
  emitted = velq.emit(emit_obj)
  velq.loads(emitted)  # emit's output must read back (it raises if not)
  blobs = {"msgspec": msgpack_encoder.encode(obj), "ormsgpack": ormsgpack.packb(obj), "msgpack": msgpack.packb(obj)}
  result = {"document": label, "json_bytes": len(text.encode("utf-8")), "velq_bytes": len(velq_bytes),
            "emit_bytes": len(emitted), "msgpack_bytes": len(blobs["msgpack"]), "emit_input": stats}

  dumps: dict[str, tuple[Callable, object]] = {
    "velq.dumps": (velq.dumps, text),
    "orjson.loads": (orjson.loads, text),
    "msgspec.json.decode": (json_decoder.decode, text),
    "msgspec.msgpack.encode(parsed)": (msgpack_encoder.encode, obj),
    "ormsgpack.packb(parsed)": (ormsgpack.packb, obj),
  }
  timings = best_of_calls(dumps, **params)
  # The two steps of a peer's road are timed apart and added up, so that
  # neither pays for a Python function around them.
  timings["msgspec.json decode + msgpack encode"] = {
    "best": timings["msgspec.json.decode"]["best"] + timings["msgspec.msgpack.encode(parsed)"]["best"]}
  timings["ormsgpack.packb(orjson.loads)"] = {
    "best": timings["orjson.loads"]["best"] + timings["ormsgpack.packb(parsed)"]["best"]}
  result["dumps"] = timings
  result["loads"] = best_of_calls({
    "velq.loads": (velq.loads, velq_bytes),
    "msgspec.msgpack.decode": (msgpack_decoder.decode, blobs["msgspec"]),
    "ormsgpack.unpackb": (ormsgpack.unpackb, blobs["ormsgpack"]),
    "msgpack.unpackb": (msgpack.unpackb, blobs["msgpack"]),
  }, **params)
  result["emit"] = best_of_calls({
    "velq.emit": (velq.emit, emit_obj),
    "msgspec.msgpack.encode": (msgpack_encoder.encode, emit_obj),
    "ormsgpack.packb": (ormsgpack.packb, emit_obj),
    "msgpack.packb": (msgpack.packb, emit_obj),
  }, **params)
  return result


def main() -> None:
  parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
  parser.add_argument("--quick", action="store_true", help="fewer and shorter samples")
  parser.add_argument("--out", type=Path, required=True)
  args = parser.parse_args()

  params = MODES["quick" if args.quick else "full"]
  started = time.time()
  results = []
  for label, text in documents():
    print(f"{label} ({len(text.encode('utf-8')):,} bytes)", file=sys.stderr, flush=True)
    results.append(bench_document(label, text, params))
  report = {
    "mode": "quick" if args.quick else "full",
    "params": params,
    "msgspec": msgspec.__version__,
    "seconds": round(time.time() - started, 1),
    "documents": results,
  }
  args.out.parent.mkdir(parents=True, exist_ok=True)
  args.out.write_text(json.dumps(report, indent=1), encoding="utf-8")


if __name__ == "__main__":
  main()
