"""Shared pieces of the benchmark scripts: where things are, which corpus files
velq can represent, the interleaved timing loop, and the form of a document
that emit accepts."""

from __future__ import annotations

import gc
import itertools
import math
import os
import re
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
# The corpus is not part of the repository: $VELQ_CORPUS_DIR, else the corpus
# folder of $VELQ_SHARED_DIR, else ../shared/corpus beside the repository.
CORPUS_DIR = Path(os.environ.get("VELQ_CORPUS_DIR")
                  or Path(os.environ.get("VELQ_SHARED_DIR") or REPO_DIR.parent / "shared") / "corpus")


def require_corpus() -> Path:
  """CORPUS_DIR, or an exit with one line saying where it was looked for."""
  if not (CORPUS_DIR / "README.md").is_file():
    sys.exit(f"the benchmarks need the shared corpus: ../shared/corpus or $VELQ_SHARED_DIR/corpus "
             f"(looked in {CORPUS_DIR})")
  return CORPUS_DIR


@dataclass
class CorpusFile:
  name: str
  path: Path
  size: int
  representable: bool
  predicted_size: int | None  # the README's predicted length of dumps, as a cross-check


def _markdown_tables(text: str) -> list[list[dict[str, str]]]:
  """Every table of a Markdown text, as rows keyed by the header cells."""
  tables, header, rows = [], None, []
  for line in text.splitlines() + [""]:
    if line.startswith("|"):
      cells = [c.strip() for c in line.strip().strip("|").split("|")]
      if header is None:
        header = cells
      elif not all(re.fullmatch(r":?-+:?", c) for c in cells):
        rows.append(dict(zip(header, cells)))
    elif header is not None:
      tables.append(rows)
      header, rows = None, []
  return tables


def _number(cell: str) -> int | None:
  digits = cell.replace(",", "")
  return int(digits) if digits.isdigit() else None


def corpus_files() -> list[CorpusFile]:
  """The corpus as its README describes it, in name order."""
  readme = (require_corpus() / "README.md").read_text(encoding="utf-8")
  representable: dict[str, bool] = {}
  predicted: dict[str, int | None] = {}
  for table in _markdown_tables(readme):
    for row in table:
      name = row.get("File", "")
      if "Representable" in row:
        representable[name] = row["Representable"].lower().startswith("yes")
      if "Predicted dumps size (bytes)" in row:
        predicted[name] = _number(row["Predicted dumps size (bytes)"])
  files = []
  for path in sorted(CORPUS_DIR.glob("*.json")):
    files.append(CorpusFile(path.name, path, path.stat().st_size, representable.get(path.name, False),
                            predicted.get(path.name)))
  return files


def representable_files() -> list[CorpusFile]:
  return [f for f in corpus_files() if f.representable]


def geomean(values) -> float:
  values = [v for v in values if v and v > 0]
  return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def _time_calls(fn: Callable[[], object], count: int) -> float:
  start = time.perf_counter()
  for _ in range(count):
    fn()
  return time.perf_counter() - start


def calibrate(fn: Callable[[], object], target: float) -> int:
  """Calls per sample so that one sample takes about `target` seconds."""
  fn()  # warm-up: first-call costs (imports, caches, page faults) stay out
  count = 1
  while True:
    elapsed = _time_calls(fn, count)
    if elapsed >= target or count >= 1 << 20:
      return count
    count = max(count * 2, int(count * target / max(elapsed, 1e-9) * 1.1))


def interleaved(contenders: dict[str, Callable[[], object]], repeats: int, target: float) -> dict[str, dict]:
  """Seconds per call of each contender: the median of `repeats` samples taken
  round-robin, the starting contender rotating every round, so that slow drifts
  of the machine touch every contender alike. The collector is off while
  sampling, as in timeit; results are released right after each call."""
  gc.collect()
  counts = {name: calibrate(fn, target) for name, fn in contenders.items()}
  samples: dict[str, list[float]] = {name: [] for name in contenders}
  names = list(contenders)
  was_enabled = gc.isenabled()
  gc.disable()
  try:
    for round_no in range(repeats):
      shift = round_no % len(names)
      for name in names[shift:] + names[:shift]:
        samples[name].append(_time_calls(contenders[name], counts[name]) / counts[name])
  finally:
    if was_enabled:
      gc.enable()
  return {
    name: {
      "median": statistics.median(values),
      "min": min(values),
      "spread": (statistics.quantiles(values, n=4)[2] - statistics.quantiles(values, n=4)[0])
      / statistics.median(values) if len(values) >= 4 else None,
      "calls_per_sample": counts[name],
      "samples": len(values),
    }
    for name, values in samples.items()
  }


def _time_call_loop(fn: Callable, arg: object, count: int) -> float:
  repeat = itertools.repeat
  start = time.perf_counter()
  for _ in repeat(None, count):
    fn(arg)
  return time.perf_counter() - start


def best_of_calls(contenders: dict[str, tuple[Callable, object]], repeats: int, target: float) -> dict[str, dict]:
  """Seconds per call of each contender, a (function, argument) pair called as
  function(argument) in a bare loop (no lambda in between, so that calls of a
  few hundred nanoseconds are not dwarfed by the harness): the best of
  `repeats` samples of about `target` seconds each, taken round-robin with the
  starting contender rotating, the collector off. The median is kept for
  information."""
  gc.collect()
  counts = {}
  for name, (fn, arg) in contenders.items():
    fn(arg)  # warm-up
    count = 1
    while True:
      elapsed = _time_call_loop(fn, arg, count)
      if elapsed >= target or count >= 1 << 22:
        break
      count = max(count * 2, int(count * target / max(elapsed, 1e-9) * 1.1))
    counts[name] = count
  samples: dict[str, list[float]] = {name: [] for name in contenders}
  names = list(contenders)
  was_enabled = gc.isenabled()
  gc.disable()
  try:
    for round_no in range(repeats):
      shift = round_no % len(names)
      for name in names[shift:] + names[:shift]:
        fn, arg = contenders[name]
        samples[name].append(_time_call_loop(fn, arg, counts[name]) / counts[name])
  finally:
    if was_enabled:
      gc.enable()
  return {name: {"best": min(values), "median": statistics.median(values), "calls_per_sample": counts[name],
                 "samples": len(values)}
          for name, values in samples.items()}


# Limits that emit's output must respect to be read back (see prepare_for_emit).
EMIT_MAX_DICT_ITEMS = 128


def prepare_for_emit(value, stats: dict):
  """The document in the form emit accepts: emit has no null, so None values
  are dropped from dicts and lists, and a dict gives two fields per item while
  a reader takes at most 256 fields, so a dict keeps its first 128 items."""
  if isinstance(value, dict):
    items = []
    for key, item in value.items():
      if item is None:
        stats["nulls_dropped"] += 1
      else:
        items.append((key, prepare_for_emit(item, stats)))
    if len(items) > EMIT_MAX_DICT_ITEMS:
      stats["dicts_truncated"] += 1
      stats["items_dropped"] += len(items) - EMIT_MAX_DICT_ITEMS
      items = items[:EMIT_MAX_DICT_ITEMS]
    return dict(items)
  if isinstance(value, list):
    kept = [prepare_for_emit(item, stats) for item in value if item is not None]
    stats["nulls_dropped"] += len(value) - len(kept)
    return kept
  return value
