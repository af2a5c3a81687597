"""How dumps and loads scale from about 1 MB to about 100 MB of JSON text.

The input of each size is a JSON array of k copies of one unit: the small and
medium corpus files (every kind of content: numbers, strings, CJK text, many
object shapes), each wrapped as {"file name": document}. Every string value of
copy i carries the suffix "~i", so that copies do not share strings: the
string dictionary grows with the input as it would for real data, instead of
every later copy turning into references to the first. Keys and types stay
the same, so every copy reuses the same shape definitions. Every copy is
written the same way (orjson, compact), so all sizes have the same mix.

Each (operation, size) runs in a fresh subprocess (scale_worker.py), which
reports the peak memory of its first call above the memory held once the input
was loaded, and the median time of repeated calls interleaved with orjson.loads
of the same text (a reference for the machine's drift; the report shows it).

With --baseline-module DIR, dumps also runs with the velq found in DIR (a
module built from another checkout) at each size, right after the current one.

  python scale.py [--quick] --out FILE.json [--work DIR] [--baseline-module DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import orjson

import velq

from common import BENCH_DIR, require_corpus

UNIT_FILES = [
  "che-1.geo.json", "google_maps_api_response.json", "github_events.json", "apache_builds.json",
  "numbers.json", "instruments.json", "lottie.json", "twitter.json",
]
FULL_COPIES = [1, 2, 8, 25, 83]   # about 1.2, 2.4, 10, 30 and 100 MB
QUICK_COPIES = [1, 2, 8]          # up to about 10 MB
# (at least this many calls, and more while they took less than this many seconds)
FULL_REPEATS = (5, 3.0)
QUICK_REPEATS = (3, 0.7)


def suffix_strings(value, suffix: str):
  if isinstance(value, str):
    return value + suffix
  if isinstance(value, list):
    return [suffix_strings(item, suffix) for item in value]
  if isinstance(value, dict):
    return {key: suffix_strings(item, suffix) for key, item in value.items()}
  return value


def build_input(copies: int, documents: list[tuple[str, object]]) -> bytes:
  parts = []
  for copy in range(copies):
    for name, document in documents:
      parts.append(orjson.dumps({name: suffix_strings(document, f"~{copy}")}))
  return b"[" + b",".join(parts) + b"]"


def run_worker(operation: str, path: Path, text_path: Path, repeats: tuple[int, float],
               module_dir: Path | None = None) -> dict:
  command = [sys.executable, str(BENCH_DIR / "scale_worker.py"), operation, str(path), str(text_path),
             str(repeats[0]), str(repeats[1])]
  env = None
  if module_dir is not None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(module_dir),
                                                                     os.environ.get("PYTHONPATH")])))
  completed = subprocess.run(command, capture_output=True, text=True, env=env)
  if completed.returncode != 0:
    return {"error": completed.stderr.strip().splitlines()[-1] if completed.stderr.strip() else
            f"exit code {completed.returncode}"}
  return json.loads(completed.stdout)


def main() -> None:
  parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
  parser.add_argument("--quick", action="store_true")
  parser.add_argument("--out", type=Path, required=True)
  parser.add_argument("--work", type=Path, default=BENCH_DIR / "build" / "scale",
                      help="where the inputs are written")
  parser.add_argument("--baseline-module", type=Path, metavar="DIR",
                      help="also time dumps with the velq module in DIR")
  args = parser.parse_args()

  copies_list = QUICK_COPIES if args.quick else FULL_COPIES
  repeats = QUICK_REPEATS if args.quick else FULL_REPEATS
  documents = [(name, orjson.loads((require_corpus() / name).read_bytes())) for name in UNIT_FILES]
  args.work.mkdir(parents=True, exist_ok=True)

  started = time.time()
  points = []
  for copies in copies_list:
    text = build_input(copies, documents)
    text_path = args.work / f"scale-{copies}.json"
    text_path.write_bytes(text)
    point: dict = {"copies": copies, "json_bytes": len(text)}
    print(f"scale: {copies} copies, {len(text) / 1e6:.1f} MB", file=sys.stderr, flush=True)
    try:
      encoded = velq.dumps(text.decode("utf-8"))
    except (TypeError, ValueError) as error:
      point["error"] = f"dumps refused it: {type(error).__name__}: {error}"
      points.append(point)
      continue
    velq_path = args.work / f"scale-{copies}.velq"
    velq_path.write_bytes(encoded)
    point["velq_bytes"] = len(encoded)
    del encoded, text
    point["dumps"] = run_worker("dumps", text_path, text_path, repeats)
    if args.baseline_module:
      point["dumps_baseline"] = run_worker("dumps", text_path, text_path, repeats, args.baseline_module)
    point["loads"] = run_worker("loads", velq_path, text_path, repeats)
    points.append(point)
    text_path.unlink()
    velq_path.unlink()

  report = {
    "mode": "quick" if args.quick else "full",
    "unit_files": UNIT_FILES,
    "seconds": round(time.time() - started, 1),
    "points": points,
  }
  args.out.parent.mkdir(parents=True, exist_ok=True)
  args.out.write_text(json.dumps(report, indent=1), encoding="utf-8")


if __name__ == "__main__":
  main()
