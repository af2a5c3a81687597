"""The Python side of the callgrind regression workload (see callgrind.sh):
ITERATIONS rounds of each FILE through one of the module's roads,
  dumps-loads: velq.dumps, then velq.loads of its bytes;
  emit:        velq.emit of the parsed document, brought within emit's rules.
With 0 rounds it does everything else (start-up, import, reading and
preparing the files), which callgrind.sh subtracts.

  python callgrind_workload.py ROAD ITERATIONS FILE.json...
"""

import sys

import velq


def main() -> None:
  road, iterations = sys.argv[1], int(sys.argv[2])
  texts = [open(path, encoding="utf-8").read() for path in sys.argv[3:]]
  checksum = 0
  if road == "dumps-loads":
    for _ in range(iterations):
      for text in texts:
        encoded = velq.dumps(text)
        checksum += len(encoded) + len(velq.loads(encoded))
  elif road == "emit":
    # Imported here, so that the other road's process holds exactly what it held before.
    import json

    from common import prepare_for_emit

    values = [prepare_for_emit(json.loads(text), {"nulls_dropped": 0, "dicts_truncated": 0, "items_dropped": 0})
              for text in texts]
    for _ in range(iterations):
      for value in values:
        checksum += len(velq.emit(value))
  else:
    raise SystemExit(f"unknown road {road!r}: dumps-loads or emit")
  print("checksum", checksum)


if __name__ == "__main__":
  main()
