"""One point of the scaling series, in a process of its own (see scale.py).

  python scale_worker.py dumps|loads INPUT JSON_TEXT REPEATS

Prints a JSON object: the peak memory of the first call above the memory held
once the inputs were loaded (the peak resident size, see peak_rss_bytes), and the median
seconds of REPEATS calls, interleaved with orjson.loads of the JSON text. Each call of
dumps and of orjson.loads gets a fresh copy of the text, as a conversion of many
files does: a str keeps the UTF-8 that a first call makes of it, which a second
call on the same str would find ready.
"""

from __future__ import annotations

import ctypes
import gc
import json
import resource
import statistics
import sys
import time
from pathlib import Path

import orjson

import velq


MAX_REPEATS = 500


def peak_rss_bytes() -> int:
  """The process's peak resident size. getrusage's ru_maxrss keeps the peak of
  the image before exec, which under vfork is the parent's, so the kernel's
  per-image counter VmHWM (resettable, see reset_peak) is read instead where
  /proc has it."""
  try:
    with open("/proc/self/status") as status:
      for line in status:
        if line.startswith("VmHWM:"):
          return int(line.split()[1]) * 1024
  except OSError:
    pass
  return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def reset_peak() -> bool:
  """Hands memory that is free but still resident back to the system, then
  lowers the recorded peak to the current size (Linux 4.0 and later), so that
  neither what reading the inputs briefly held nor free heap pages that the
  call would reuse hide its peak. Without the reset the baseline is the peak
  so far, which can only make the figure smaller; the report records which
  was used."""
  try:
    ctypes.CDLL(None).malloc_trim(0)
  except (OSError, AttributeError):
    pass
  try:
    with open("/proc/self/clear_refs", "w") as control:
      control.write("5")
    return True
  except OSError:
    return False


def fresh_copy(text: str) -> str:
  """An equal str that holds no UTF-8 of its own yet."""
  return text.encode("utf-8").decode("utf-8")


def main() -> None:
  operation, input_path, text_path = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
  min_repeats, budget = int(sys.argv[4]), float(sys.argv[5])
  text = text_path.read_text(encoding="utf-8")
  if operation == "dumps":
    argument = fresh_copy
    call = velq.dumps
  elif operation == "loads":
    data = input_path.read_bytes()
    argument = lambda text: data  # noqa: E731
    call = velq.loads
  else:
    raise SystemExit(f"unknown operation {operation}")

  value = argument(text)
  gc.collect()
  gc.disable()
  peak_reset = reset_peak()
  baseline = peak_rss_bytes()
  result = call(value)
  peak_extra = peak_rss_bytes() - baseline
  del result, value

  times, reference = [], []
  started = time.perf_counter()
  while len(times) < min_repeats or (time.perf_counter() - started < budget and len(times) < MAX_REPEATS):
    value = argument(text)
    start = time.perf_counter()
    call(value)
    times.append(time.perf_counter() - start)
    value = fresh_copy(text)
    start = time.perf_counter()
    orjson.loads(value)
    reference.append(time.perf_counter() - start)
    del value

  json_bytes = len(text.encode("utf-8"))
  seconds = statistics.median(times)
  reference_seconds = statistics.median(reference)
  print(json.dumps({
    "seconds": seconds,
    "seconds_per_mb": seconds / (json_bytes / 1e6),
    "orjson_loads_seconds_per_mb": reference_seconds / (json_bytes / 1e6),
    "relative_to_orjson": seconds / reference_seconds,
    "peak_extra_bytes": peak_extra,
    "peak_extra_per_json_byte": peak_extra / json_bytes,
    "peak_reset": peak_reset,
    "repeats": len(times),
  }))


if __name__ == "__main__":
  main()
