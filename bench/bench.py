"""velq against its peers on every representable corpus file, in one process:
JSON text to binary, binary to Python, Python to binary, and output sizes.

Times are medians of interleaved samples (see common.interleaved); what the
report compares are ratios of times taken side by side in this run.

  python bench.py [--quick] [--files NAME ...] --out FILE.json
"""

from __future__ import annotations

import argparse
import json
import pickle
import platform
import sys
import time
from pathlib import Path

import cbor2
import msgpack
import msgspec
import orjson
import ormsgpack
import zstandard

import velq

from common import CorpusFile, interleaved, prepare_for_emit, representable_files

MODES = {
  # repeats: samples per contender; target: seconds per sample
  "full": {"repeats": 25, "target": 0.02},
  "quick": {"repeats": 5, "target": 0.004},
}


def zstd_size(data: bytes) -> int:
  return len(zstandard.ZstdCompressor(level=3).compress(data))


# msgspec as its users run it: one Encoder and Decoder each, made once and reused.
MSGSPEC_JSON_DECODER = msgspec.json.Decoder()
MSGSPEC_MSGPACK_ENCODER = msgspec.msgpack.Encoder()
MSGSPEC_MSGPACK_DECODER = msgspec.msgpack.Decoder()


def bench_to_binary(text: str, params: dict) -> dict:
  json_decode, msgpack_encode = MSGSPEC_JSON_DECODER.decode, MSGSPEC_MSGPACK_ENCODER.encode
  return interleaved({
    "velq.dumps": lambda: velq.dumps(text),
    "ormsgpack.packb(orjson.loads)": lambda: ormsgpack.packb(orjson.loads(text)),
    "msgspec.msgpack.encode(msgspec.json.decode)": lambda: msgpack_encode(json_decode(text)),
    "msgpack.packb(json.loads)": lambda: msgpack.packb(json.loads(text)),
    "cbor2.dumps(json.loads)": lambda: cbor2.dumps(json.loads(text)),
    "orjson.loads": lambda: orjson.loads(text),
  }, **params)


def bench_to_python(text: str, blobs: dict, params: dict) -> dict:
  msgpack_decode, json_decode = MSGSPEC_MSGPACK_DECODER.decode, MSGSPEC_JSON_DECODER.decode
  return interleaved({
    "velq.loads": lambda: velq.loads(blobs["velq"]),
    "msgspec.msgpack.decode": lambda: msgpack_decode(blobs["msgspec"]),
    "ormsgpack.unpackb": lambda: ormsgpack.unpackb(blobs["ormsgpack"]),
    "msgpack.unpackb": lambda: msgpack.unpackb(blobs["msgpack"]),
    "cbor2.loads": lambda: cbor2.loads(blobs["cbor"]),
    "orjson.loads": lambda: orjson.loads(text),
    "msgspec.json.decode": lambda: json_decode(text),
  }, **params)


def bench_from_python(obj, params: dict) -> dict:
  msgpack_encode = MSGSPEC_MSGPACK_ENCODER.encode
  return interleaved({
    "velq.emit": lambda: velq.emit(obj),
    "msgspec.msgpack.encode": lambda: msgpack_encode(obj),
    "ormsgpack.packb": lambda: ormsgpack.packb(obj),
    "msgpack.packb": lambda: msgpack.packb(obj),
    "pickle.dumps": lambda: pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL),
  }, **params)


def sizes_of(text: str, obj, blobs: dict) -> dict:
  raw = {
    "velq": blobs["velq"],
    "msgpack": blobs["msgpack"],
    "cbor": blobs["cbor"],
    "json": text.encode("utf-8"),
    "json_minified": orjson.dumps(obj),
  }
  return {name: {"bytes": len(data), "zstd": zstd_size(data)} for name, data in raw.items()}


def emit_case(obj) -> tuple[object | None, dict]:
  """The emit input for a document, or None with the reason emit refused it."""
  stats = {"nulls_dropped": 0, "dicts_truncated": 0, "items_dropped": 0}
  prepared = prepare_for_emit(obj, stats)
  try:
    encoded = velq.emit(prepared)
  except (TypeError, ValueError) as error:
    stats["skipped"] = f"emit refused it: {type(error).__name__}: {error}"
    return None, stats
  try:
    velq.loads(encoded)
  except (TypeError, ValueError) as error:
    stats["skipped"] = f"emit's output is refused by loads: {type(error).__name__}: {error}"
    return None, stats
  stats["emit_bytes"] = len(encoded)
  return prepared, stats


def bench_file(corpus_file: CorpusFile, params: dict, log) -> dict:
  text = corpus_file.path.read_text(encoding="utf-8")
  result: dict = {"file": corpus_file.name, "json_bytes": corpus_file.size}
  try:
    velq_bytes = velq.dumps(text)
  except (TypeError, ValueError) as error:
    result["skipped"] = f"dumps refused it: {type(error).__name__}: {error}"
    return result
  obj = json.loads(text)
  blobs = {
    "velq": velq_bytes,
    "ormsgpack": ormsgpack.packb(orjson.loads(text)),
    "msgspec": MSGSPEC_MSGPACK_ENCODER.encode(MSGSPEC_JSON_DECODER.decode(text)),
    "msgpack": msgpack.packb(obj),
    "cbor": cbor2.dumps(obj),
  }
  result["predicted_velq_bytes"] = corpus_file.predicted_size
  result["sizes"] = sizes_of(text, obj, blobs)
  log(f"  {corpus_file.name}: to binary")
  result["to_binary"] = bench_to_binary(text, params)
  log(f"  {corpus_file.name}: to Python")
  result["to_python"] = bench_to_python(text, blobs, params)
  emit_obj, result["emit_input"] = emit_case(obj)
  if emit_obj is not None:
    log(f"  {corpus_file.name}: from Python")
    result["from_python"] = bench_from_python(emit_obj, params)
  return result


def peer_versions() -> dict:
  return {
    "python": platform.python_version(),
    "velq": getattr(velq, "__version__", None) or "repo",
    "velq_module": getattr(velq, "__file__", None),
    "velq_scan_road": getattr(velq, "_scan_road", None),
    "orjson": orjson.__version__,
    "ormsgpack": ormsgpack.__version__,
    "msgpack": ".".join(map(str, msgpack.version)),
    "msgspec": msgspec.__version__,
    "cbor2": _dist_version("cbor2"),
    "zstandard": zstandard.__version__,
  }


def _dist_version(name: str) -> str | None:
  from importlib.metadata import PackageNotFoundError, version
  try:
    return version(name)
  except PackageNotFoundError:
    return None


def main() -> None:
  parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
  parser.add_argument("--quick", action="store_true", help="fewer and shorter samples")
  parser.add_argument("--files", nargs="*", help="only these corpus files (by name)")
  parser.add_argument("--out", type=Path, required=True)
  args = parser.parse_args()

  params = MODES["quick" if args.quick else "full"]
  files = representable_files()
  if args.files:
    files = [f for f in files if f.name in args.files]

  def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)

  started = time.time()
  results = []
  for corpus_file in files:
    log(f"{corpus_file.name} ({corpus_file.size:,} bytes)")
    results.append(bench_file(corpus_file, params, log))
  report = {
    "mode": "quick" if args.quick else "full",
    "params": params,
    "versions": peer_versions(),
    "seconds": round(time.time() - started, 1),
    "files": results,
  }
  args.out.parent.mkdir(parents=True, exist_ok=True)
  args.out.write_text(json.dumps(report, indent=1), encoding="utf-8")


if __name__ == "__main__":
  main()
