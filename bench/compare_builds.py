"""Two builds of the velq module side by side in one process: dumps, loads and
emit over every representable corpus file, samples interleaved as in bench.py.

  python bench/compare_builds.py BASELINE.so CANDIDATE.so [--quick] [--files NAME ...]
                                 [--operations OP ...] [--json FILE]

Each argument is a built extension module (for instance the .so inside a
wheel). Prints, per file and operation, candidate time / baseline time (above 1
means the candidate is slower), then the geometric mean of each operation and of
all of them (and with --json, writes the same as JSON). Needs no peer library: only the standard library and the modules.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import json
import importlib.util
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import geomean, interleaved, prepare_for_emit, representable_files  # noqa: E402


def load_module(path: Path):
  """The module in `path`, loaded under its own name; two builds can live side by
  side since each is a separate shared object."""
  loader = importlib.machinery.ExtensionFileLoader("velq", str(path))
  found = importlib.util.spec_from_file_location("velq", str(path), loader=loader)
  module = importlib.util.module_from_spec(found)
  loader.exec_module(module)
  return module


def main() -> None:
  parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
  parser.add_argument("baseline", type=Path)
  parser.add_argument("candidate", type=Path)
  parser.add_argument("--quick", action="store_true", help="fewer and shorter samples")
  parser.add_argument("--files", nargs="*", help="only these corpus files (by name)")
  parser.add_argument("--operations", nargs="*", choices=["dumps", "loads", "emit"],
                      default=["dumps", "loads", "emit"])
  parser.add_argument("--json", type=Path, help="also write the ratios to this file")
  args = parser.parse_args()
  params = {"repeats": 5, "target": 0.004} if args.quick else {"repeats": 15, "target": 0.02}
  builds = {"baseline": load_module(args.baseline), "candidate": load_module(args.candidate)}
  ratios: dict[str, list[float]] = {op: [] for op in args.operations}
  per_file: dict[str, dict[str, float]] = {}
  print(f"{'file':32} " + " ".join(f"{op:>7}" for op in ratios) + "   (candidate time / baseline time)")
  for corpus_file in representable_files():
    if args.files and corpus_file.name not in args.files:
      continue
    text = corpus_file.path.read_text(encoding="utf-8")
    data = builds["baseline"].dumps(text)
    assert builds["candidate"].dumps(text) == data, f"{corpus_file.name}: the builds' dumps differ"
    obj = prepare_for_emit(builds["baseline"].loads(data), {"nulls_dropped": 0, "dicts_truncated": 0,
                                                              "items_dropped": 0})
    try:
      builds["baseline"].emit(obj)
    except (TypeError, ValueError):
      obj = None
    row = {}
    operations = {
      "dumps": lambda m: (lambda: m.dumps(text)),
      "loads": lambda m: (lambda: m.loads(data)),
      "emit": lambda m: (lambda: m.emit(obj)),
    }
    for operation, make in operations.items():
      if operation not in ratios or (operation == "emit" and obj is None):
        continue
      result = interleaved({name: make(module) for name, module in builds.items()}, **params)
      ratio = result["candidate"]["median"] / result["baseline"]["median"]
      ratios[operation].append(ratio)
      row[operation] = ratio
    cells = " ".join(f"{row[op]:7.3f}" if op in row else f"{'-':>7}" for op in ratios)
    print(f"{corpus_file.name:32} {cells}", flush=True)
    per_file[corpus_file.name] = row
  means = {op: geomean(values) for op, values in ratios.items() if values}
  print(f"{'geometric mean':32} " + " ".join(f"{means[op]:7.3f}" for op in means))
  print(f"all: {geomean(list(means.values())):.3f}")
  if args.json:
    args.json.write_text(json.dumps({"baseline": str(args.baseline), "candidate": str(args.candidate),
                                     "params": params, "files": per_file, "geomean": means}, indent=1),
                         encoding="utf-8")


if __name__ == "__main__":
  main()
