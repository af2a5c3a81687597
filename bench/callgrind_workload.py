"""The Python side of the callgrind regression workload (see callgrind.sh):
ITERATIONS rounds of velq.dumps and velq.loads of each FILE. With 0 rounds it
does everything else (start-up, import, reading the files), which callgrind.sh
subtracts.

  python callgrind_workload.py ITERATIONS FILE.json...
"""

import sys

import velq


def main() -> None:
  iterations = int(sys.argv[1])
  texts = [open(path, encoding="utf-8").read() for path in sys.argv[2:]]
  checksum = 0
  for _ in range(iterations):
    for text in texts:
      encoded = velq.dumps(text)
      checksum += len(encoded) + len(velq.loads(encoded))
  print("checksum", checksum)


if __name__ == "__main__":
  main()
