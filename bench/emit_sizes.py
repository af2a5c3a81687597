"""Output sizes of emit beside dumps and msgpack for the same data: each
representable corpus file brought within emit's rules (as bench.py does),
then written by velq.emit, by velq.dumps (of that data as JSON text) and by
msgpack.packb. Prints a Markdown table.

  python bench/emit_sizes.py
"""

from __future__ import annotations

import json

import msgpack

import velq

from bench import emit_case
from common import geomean, representable_files


def main() -> None:
  rows = []
  for corpus_file in representable_files():
    obj, stats = emit_case(json.loads(corpus_file.path.read_text(encoding="utf-8")))
    if obj is None:
      print(f"<!-- {corpus_file.name}: {stats['skipped']} -->")
      continue
    rows.append((corpus_file.name, len(velq.emit(obj)), len(velq.dumps(json.dumps(obj))), len(msgpack.packb(obj))))
  print("| File | emit bytes | dumps bytes | msgpack bytes | emit / dumps | emit / msgpack |")
  print("|---|---:|---:|---:|---:|---:|")
  for name, emitted, dumped, packed in rows:
    print(f"| {name} | {emitted:,} | {dumped:,} | {packed:,} | {emitted / dumped:.2f} | {emitted / packed:.2f} |")
  print(f"| geometric mean | | | | {geomean([e / d for _, e, d, _ in rows]):.2f} "
        f"| {geomean([e / p for _, e, _, p in rows]):.2f} |")


if __name__ == "__main__":
  main()
