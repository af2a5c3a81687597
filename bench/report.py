"""Turns the raw figures of one run into results.json, results.md and chart.png.

  python report.py RAW_DIR OUT_DIR

RAW_DIR holds what the steps wrote: meta.json, python.json (bench.py),
scale.json (scale.py), stages.json (Google Benchmark), callgrind.json, and
from a run with --baseline dumps_baseline.json (compare_builds.py),
stages_baseline.json and callgrind_baseline.json; a missing one leaves its
tables and targets out.
"""

from __future__ import annotations

import json
import math
import sys
from pathlib import Path

from common import geomean

PASS, FAIL = "✓", "✗"
# Goals that the tables mark file by file as well as in the targets.
LOADS_FLOOR = 1.1       # loads against ormsgpack.unpackb, every file
DUMPS_PEAK_GOAL = 1.5   # dumps' peak extra memory per byte of JSON text, at the largest size
PARSE_FILE_GOAL = 0.6   # the parser's throughput over simdjson's, on every file

DUMPS_PEERS = ["ormsgpack.packb(orjson.loads)", "msgspec.msgpack.encode(msgspec.json.decode)",
               "msgpack.packb(json.loads)", "cbor2.dumps(json.loads)", "orjson.loads"]
LOADS_PEERS = ["ormsgpack.unpackb", "msgspec.msgpack.decode", "msgpack.unpackb", "cbor2.loads", "orjson.loads",
               "msgspec.json.decode"]
EMIT_PEERS = ["ormsgpack.packb", "msgspec.msgpack.encode", "msgpack.packb", "pickle.dumps"]
# Small documents (small.py): velq's function, then its peers.
SMALL_OPS = {
  "dumps": ("velq.dumps", ["orjson.loads", "msgspec.json decode + msgpack encode", "ormsgpack.packb(orjson.loads)"]),
  "loads": ("velq.loads", ["msgspec.msgpack.decode", "ormsgpack.unpackb", "msgpack.unpackb"]),
  "emit": ("velq.emit", ["msgspec.msgpack.encode", "ormsgpack.packb", "msgpack.packb"]),
}
# Instructions per call (callgrind.sh), velq's functions then peers for reference.
PER_CALL = ["dumps", "loads", "emit", "orjson.loads", "msgspec.msgpack.decode", "msgspec.msgpack.encode"]
STAGES = ["copy", "simdjson_dom", "parse", "compile", "parse_compile", "encode", "decode", "decompile",
          "dumps_core", "loads_core"]


def load(path: Path):
  return json.loads(path.read_text(encoding="utf-8")) if path.exists() else None


def mark(ok: bool | None) -> str:
  return "" if ok is None else (PASS if ok else FAIL)


def fmt_time(seconds: float | None) -> str:
  if seconds is None or math.isnan(seconds):
    return "–"
  if seconds < 1e-3:
    return f"{seconds * 1e6:.1f} µs"
  if seconds < 1:
    return f"{seconds * 1e3:.2f} ms"
  return f"{seconds:.2f} s"


def fmt_call_time(seconds: float) -> str:
  """A call's time, to the nanosecond below 10 µs."""
  if seconds < 1e-5:
    return f"{seconds * 1e9:,.0f} ns"
  return fmt_time(seconds)


def fmt_ratio(ratio: float | None) -> str:
  return "–" if ratio is None or math.isnan(ratio) else f"{ratio:.2f}x"


def fmt_int(n: int | None) -> str:
  return "–" if n is None else f"{n:,}"


def table(header: list[str], rows: list[list[str]], align: list[str] | None = None) -> str:
  align = align or ["l"] + ["r"] * (len(header) - 1)
  rule = ["---:" if a == "r" else "---" for a in align]
  lines = ["| " + " | ".join(header) + " |", "| " + " | ".join(rule) + " |"]
  lines += ["| " + " | ".join(row) + " |" for row in rows]
  return "\n".join(lines)


# ---------------------------------------------------------------- figures

def speed_figures(files: list[dict], section: str, velq_name: str, peers: list[str]) -> dict:
  """Per file: velq's median and, per peer, peer time / velq time (above 1:
  velq is faster)."""
  per_file = {}
  for entry in files:
    timings = entry.get(section)
    if not timings:
      continue
    velq_time = timings[velq_name]["median"]
    per_file[entry["file"]] = {
      "velq_seconds": velq_time,
      "peer_seconds": {peer: timings[peer]["median"] for peer in peers if peer in timings},
      "ratio": {peer: timings[peer]["median"] / velq_time for peer in peers if peer in timings},
    }
  summary = {peer: geomean(f["ratio"][peer] for f in per_file.values() if peer in f["ratio"]) for peer in peers}
  minimum = {peer: min((f["ratio"][peer] for f in per_file.values() if peer in f["ratio"]), default=float("nan"))
             for peer in peers}
  return {"files": per_file, "geomean_ratio": summary, "min_ratio": minimum}


def small_figures(raw: dict) -> dict:
  """Per document and operation: velq's best time and, per peer, peer time /
  velq time; and the smallest ratio per peer over the documents."""
  docs = []
  for entry in raw.get("documents", []):
    doc = {"document": entry["document"], "json_bytes": entry["json_bytes"], "velq_bytes": entry["velq_bytes"],
           "msgpack_bytes": entry["msgpack_bytes"]}
    for op, (velq_name, peers) in SMALL_OPS.items():
      timings = entry[op]
      velq_time = timings[velq_name]["best"]
      doc[op] = {"velq_seconds": velq_time,
                 "peer_seconds": {p: timings[p]["best"] for p in peers},
                 "ratio": {p: timings[p]["best"] / velq_time for p in peers}}
    docs.append(doc)
  minimum = {op: {p: min((d[op]["ratio"][p] for d in docs), default=float("nan")) for p in peers}
             for op, (_, peers) in SMALL_OPS.items()}
  gmean = {op: {p: geomean(d[op]["ratio"][p] for d in docs) for p in peers} for op, (_, peers) in SMALL_OPS.items()}
  return {"documents": docs, "min_ratio": minimum, "geomean_ratio": gmean, "params": raw.get("params"),
          "msgspec": raw.get("msgspec")}


def size_figures(files: list[dict]) -> dict:
  per_file = {}
  for entry in files:
    sizes = entry.get("sizes")
    if not sizes:
      continue
    per_file[entry["file"]] = {
      **{name: value for name, value in sizes.items()},
      "velq_over_msgpack": sizes["velq"]["bytes"] / sizes["msgpack"]["bytes"],
      "velq_zstd_over_msgpack_zstd": sizes["velq"]["zstd"] / sizes["msgpack"]["zstd"],
      "predicted_velq_bytes": entry.get("predicted_velq_bytes"),
    }
  return {"files": per_file,
          "max_velq_over_msgpack": max((f["velq_over_msgpack"] for f in per_file.values()), default=None),
          "geomean_velq_over_msgpack": geomean(f["velq_over_msgpack"] for f in per_file.values())}


def _seconds(entry: dict) -> float:
  scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry.get("time_unit", "ns")]
  return entry["real_time"] * scale


def stage_figures(raw: dict, json_sizes: dict[str, int]) -> dict:
  """Median seconds and MB/s (of JSON text) per stage and file."""
  per_file: dict[str, dict] = {}
  for entry in raw.get("benchmarks", []):
    if entry.get("aggregate_name", "median") != "median" or entry.get("error_occurred"):
      continue
    stage, _, name = entry["run_name"].partition("/")
    per_file.setdefault(name, {})[stage] = {"seconds": _seconds(entry),
                                            "mb_per_s": entry.get("bytes_per_second", 0) / 1e6}
  for name, stages in per_file.items():
    size = json_sizes.get(name)
    if "compile" not in stages and "parse_compile" in stages and "parse" in stages and size:
      seconds = stages["parse_compile"]["seconds"] - stages["parse"]["seconds"]
      if seconds > 0:
        stages["compile"] = {"seconds": seconds, "mb_per_s": size / seconds / 1e6, "derived": True}
    if "parse" in stages and "simdjson_dom" in stages:
      stages["parse_over_simdjson"] = stages["parse"]["mb_per_s"] / stages["simdjson_dom"]["mb_per_s"]
  per_file = dict(sorted(per_file.items()))
  context = raw.get("context", {})
  skipped = {key.split("/", 1)[1]: value for key, value in context.items() if key.startswith("skipped/")}
  ratios = [s["parse_over_simdjson"] for s in per_file.values() if "parse_over_simdjson" in s]
  return {"files": per_file, "skipped": skipped, "compile_stage": context.get("compile_stage"),
          "min_parse_over_simdjson": min(ratios) if ratios else None,
          "geomean_parse_over_simdjson": geomean(ratios) if ratios else None,
          "library_build_type": context.get("library_build_type"),
          "cpu_scaling_enabled": context.get("cpu_scaling_enabled"),
          "scan_road": context.get("scan_road"), "simdjson_kernel": context.get("simdjson_kernel")}


def scale_figures(raw: dict) -> dict:
  points = [p for p in raw.get("points", []) if "dumps" in p and "error" not in p["dumps"]]
  figures = {"unit_files": raw.get("unit_files"), "points": raw.get("points", [])}
  for op in ("dumps", "loads"):
    good = [p for p in points if op in p and "error" not in p[op]]
    if len(good) >= 2:
      first, last = good[0][op], good[-1][op]
      figures[f"{op}_last_over_first"] = last["seconds_per_mb"] / first["seconds_per_mb"]
      # the same, with each time taken relative to orjson.loads in its own process
      figures[f"{op}_last_over_first_normalised"] = last["relative_to_orjson"] / first["relative_to_orjson"]
      figures[f"{op}_first_mb"] = good[0]["json_bytes"] / 1e6
      figures[f"{op}_last_mb"] = good[-1]["json_bytes"] / 1e6
    if good:
      figures[f"{op}_max_peak_per_json_byte"] = max(p[op]["peak_extra_per_json_byte"] for p in good)
      figures[f"{op}_last_peak_per_json_byte"] = good[-1][op]["peak_extra_per_json_byte"]
  return figures


def json_road_baseline_figures(stages_before: dict | None, dumps_before: dict | None, scale: dict | None,
                               json_sizes: dict[str, int], stages_now: dict | None) -> dict:
  """The JSON road of another checkout beside this one: its C++ stages (from
  its own run, with simdjson as that run's yardstick), dumps from Python in
  one process with this build (compare_builds.py), and dumps at every size."""
  figures: dict = {}
  if stages_before and stages_now:
    # The two runs are separate processes, minutes apart, and a shared machine
    # drifts by more than the differences sought: each stage is taken relative
    # to simdjson in its own run before the two are compared.
    before = stage_figures(stages_before, json_sizes)
    rows: dict[str, dict] = {}
    normalised: dict[str, list[float]] = {"parse": [], "dumps_core": []}
    raw: dict[str, list[float]] = {"parse": [], "dumps_core": []}
    for name, now in stages_now["files"].items():
      was = before["files"].get(name, {})
      row = {}
      for stage in ("simdjson_dom", "parse", "dumps_core"):
        if stage in now and stage in was:
          row[stage] = {"before": was[stage]["mb_per_s"], "now": now[stage]["mb_per_s"]}
      if "simdjson_dom" in row:
        for stage in ("parse", "dumps_core"):
          if stage in row:
            b, n, yard = row[stage]["before"], row[stage]["now"], row["simdjson_dom"]
            row[stage]["normalised"] = (n / yard["now"]) / (b / yard["before"])
            normalised[stage].append(row[stage]["normalised"])
            raw[stage].append(n / b)
      rows[name] = row
    figures["stages"] = rows
    figures["scan_road_before"] = before.get("scan_road")
    figures["geomean_parse_over_simdjson_before"] = before.get("geomean_parse_over_simdjson")
    figures["geomean_parse_over_simdjson_now"] = stages_now.get("geomean_parse_over_simdjson")
    for stage, values in normalised.items():
      figures[f"{stage}_now_over_before"] = geomean(values) if values else None
      figures[f"{stage}_now_over_before_raw"] = geomean(raw[stage]) if raw[stage] else None
  if dumps_before:
    # compare_builds.py gives now / before in time; the table shows speed-ups
    figures["dumps"] = {name: 1 / row["dumps"] for name, row in dumps_before["files"].items() if "dumps" in row}
    figures["dumps_geomean"] = geomean(list(figures["dumps"].values())) if figures["dumps"] else None
    figures["dumps_min"] = min(figures["dumps"].values()) if figures["dumps"] else None
  if scale:
    figures["scale"] = [p for p in scale.get("points", []) if "dumps_baseline" in p]
  return figures


def targets(figures: dict) -> list[dict]:
  """The issue's targets: what was measured against what was asked."""
  out = []

  def add(name: str, measured: float | None, goal: str, ok: bool | None, stretch: str = "") -> None:
    out.append({"target": name, "measured": measured, "goal": goal, "met": ok, "note": stretch})

  dumps = figures.get("to_binary")
  if dumps and dumps["files"]:
    peer = "ormsgpack.packb(orjson.loads)"
    g, m = dumps["geomean_ratio"][peer], dumps["min_ratio"][peer]
    add("dumps vs ormsgpack.packb(orjson.loads): geomean", g, "≥ 2.5x", g >= 2.5)
    add("dumps vs ormsgpack.packb(orjson.loads): slowest file", m, "≥ 1.0x", m >= 1.0)
    s, low = dumps["geomean_ratio"]["orjson.loads"], dumps["min_ratio"]["orjson.loads"]
    add("dumps vs orjson.loads alone: geomean", s, "≥ 2.5x", s >= 2.5)
    add("dumps vs orjson.loads alone: slowest file", low, "≥ 1.5x", low >= 1.5)
  loads = figures.get("to_python")
  if loads and loads["files"]:
    g, m = loads["geomean_ratio"]["ormsgpack.unpackb"], loads["min_ratio"]["ormsgpack.unpackb"]
    add("loads vs ormsgpack.unpackb: geomean", g, "≥ 1.5x", g >= 1.5)
    add("loads vs ormsgpack.unpackb: slowest file", m, f"≥ {LOADS_FLOOR}x", m >= LOADS_FLOOR)
  emit = figures.get("from_python")
  if emit and emit["files"]:
    g = emit["geomean_ratio"]["msgpack.packb"]
    add("emit vs msgpack.packb: geomean", g, "≥ 1.0x", g >= 1.0)
    s = emit["geomean_ratio"]["ormsgpack.packb"]
    add("stretch: emit vs ormsgpack.packb: geomean", s, "≥ 1.0x", s >= 1.0)
  if emit and emit["files"] and "msgspec.msgpack.encode" in emit["geomean_ratio"]:
    g = emit["geomean_ratio"]["msgspec.msgpack.encode"]
    if not math.isnan(g):
      add("emit vs msgspec.msgpack.encode: geomean", g, "≥ 0.7x", g >= 0.7)
  small = figures.get("small")
  if small and small["documents"]:
    low = small["min_ratio"]
    for peer in ("msgspec.msgpack.decode", "ormsgpack.unpackb"):
      add(f"small documents: loads vs {peer}, slowest document", low["loads"][peer], "≥ 0.8x",
          low["loads"][peer] >= 0.8)
    add("small documents: dumps vs orjson.loads alone, slowest document", low["dumps"]["orjson.loads"], "≥ 1.0x",
        low["dumps"]["orjson.loads"] >= 1.0)
    add("small documents: emit vs msgspec.msgpack.encode, slowest document", low["emit"]["msgspec.msgpack.encode"],
        "≥ 0.5x", low["emit"]["msgspec.msgpack.encode"] >= 0.5)
  now, before = (figures.get("callgrind") or {}), (figures.get("callgrind_baseline") or {})
  for function in ("dumps", "loads", "emit"):
    a, b = (now.get("per_call_ir") or {}).get(function), (before.get("per_call_ir") or {}).get(function)
    if a and b:
      add(f"instructions per {function} call on the 29-byte document / baseline", a / b, "≤ 1.00", a / b <= 1.0)
  sizes = figures.get("size")
  if sizes and sizes["files"]:
    worst = sizes["max_velq_over_msgpack"]
    add("size: velq / msgpack, largest over the files", worst, "≤ 1.00", worst <= 1.0)
  stages = figures.get("stages")
  if stages and stages.get("min_parse_over_simdjson") is not None:
    g, worst = stages["geomean_parse_over_simdjson"], stages["min_parse_over_simdjson"]
    add("parser / simdjson DOM throughput: geomean", g, "≥ 0.80", g >= 0.8)
    add("parser / simdjson DOM throughput: slowest file", worst, f"≥ {PARSE_FILE_GOAL:.2f}", worst >= PARSE_FILE_GOAL)
  road = figures.get("json_road_baseline")
  if road and road.get("dumps_core_now_over_before") is not None:
    r = road["dumps_core_now_over_before"]
    add("dumps core MB/s now / before: geomean", r, "≥ 1.5x", r >= 1.5)
  scale = figures.get("scale")
  if scale:
    for op in ("dumps", "loads"):
      key = f"{op}_last_over_first"
      if key in scale:
        r = scale[key]
        label = f"{op} time per MB at {scale[f'{op}_last_mb']:.0f} MB / at {scale[f'{op}_first_mb']:.1f} MB"
        # Time per MB may fall with size (a large text takes another road); it must not grow.
        add(label, r, "≤ 1.25", r <= 1.25)
        n = scale[f"{op}_last_over_first_normalised"]
        add(f"(same, each relative to orjson.loads in its process)", n, "≤ 1.25", n <= 1.25)
    if "dumps_last_peak_per_json_byte" in scale:
      p = scale["dumps_last_peak_per_json_byte"]
      add(f"dumps peak extra memory / JSON text size at {scale['dumps_last_mb']:.0f} MB", p, f"≤ {DUMPS_PEAK_GOAL}",
          p <= DUMPS_PEAK_GOAL)
  return out


# ---------------------------------------------------------------- Markdown

def speed_table(fig: dict, velq_name: str, peers: list[str], marked: str, floor: float | None) -> str:
  header = ["File", velq_name] + peers
  rows = []
  for name, f in fig["files"].items():
    row = [name, fmt_time(f["velq_seconds"])]
    for peer in peers:
      if peer not in f["ratio"]:
        row.append("–")
        continue
      r = f["ratio"][peer]
      cell = f"{fmt_time(f['peer_seconds'][peer])} ({fmt_ratio(r)}"
      if peer == marked and floor is not None:
        cell += f" {mark(r >= floor)}"
      row.append(cell + ")")
    rows.append(row)
  rows.append(["**geomean**", ""] + [f"**{fmt_ratio(fig['geomean_ratio'][p])}**" for p in peers])
  return table(header, rows)


def small_table(fig: dict, op: str) -> str:
  velq_name, peers = SMALL_OPS[op]
  header = ["Document", "JSON bytes", velq_name] + peers
  rows = []
  for d in fig["documents"]:
    f = d[op]
    rows.append([d["document"], fmt_int(d["json_bytes"]), fmt_call_time(f["velq_seconds"])]
                + [f"{fmt_call_time(f['peer_seconds'][p])} ({fmt_ratio(f['ratio'][p])})" for p in peers])
  rows.append(["**slowest document**", "", ""] + [f"**{fmt_ratio(fig['min_ratio'][op][p])}**" for p in peers])
  rows.append(["**geomean**", "", ""] + [f"**{fmt_ratio(fig['geomean_ratio'][op][p])}**" for p in peers])
  return table(header, rows)


def per_call_table(now: dict, before: dict | None) -> str:
  counts, old = now.get("per_call_ir") or {}, (before or {}).get("per_call_ir") or {}
  header = ["Function", "Ir per call, now"]
  if before:
    header += [f"before ({before.get('tree_commit') or 'baseline'})", "now / before"]
  rows = []
  for name in PER_CALL:
    if name not in counts:
      continue
    label = f"velq.{name}" if name in ("dumps", "loads", "emit") else f"{name} (reference)"
    row = [label, fmt_int(counts[name])]
    if before:
      b = old.get(name) if name in ("dumps", "loads", "emit") else None
      row += [fmt_int(b), f"{counts[name] / b:.2f}" if b else "–"]
    rows.append(row)
  return table(header, rows)


def size_table(fig: dict) -> str:
  header = ["File", "JSON", "JSON minified", "velq", "msgpack", "CBOR", "velq / msgpack",
            "zstd: JSON", "zstd: velq", "zstd: msgpack", "zstd: CBOR", "README's predicted velq size"]
  rows = []
  for name, f in fig["files"].items():
    predicted = f.get("predicted_velq_bytes")
    prediction = "–" if predicted is None else (
      "same" if predicted == f["velq"]["bytes"] else f"{predicted:,} (differs)")
    rows.append([name, fmt_int(f["json"]["bytes"]), fmt_int(f["json_minified"]["bytes"]),
                 fmt_int(f["velq"]["bytes"]), fmt_int(f["msgpack"]["bytes"]), fmt_int(f["cbor"]["bytes"]),
                 f"{f['velq_over_msgpack']:.3f} {mark(f['velq_over_msgpack'] <= 1.0)}",
                 fmt_int(f["json"]["zstd"]), fmt_int(f["velq"]["zstd"]), fmt_int(f["msgpack"]["zstd"]),
                 fmt_int(f["cbor"]["zstd"]), prediction])
  rows.append(["**geomean**", "", "", "", "", "", f"**{fig['geomean_velq_over_msgpack']:.3f}**",
               "", "", "", "", ""])
  return table(header, rows)


def stage_table(fig: dict) -> str:
  header = ["File", "memcpy", "simdjson DOM", "parse", "parse / simdjson", "compile", "encode", "decode",
            "decompile", "dumps core", "loads core"]
  rows = []
  for name, s in fig["files"].items():
    def mbs(stage: str) -> str:
      if stage not in s:
        return "–"
      return f"{s[stage]['mb_per_s']:,.0f}" + ("*" if s[stage].get("derived") else "")
    ratio = s.get("parse_over_simdjson")
    ratio_cell = "–" if ratio is None else f"{ratio:.2f} {mark(ratio >= PARSE_FILE_GOAL)}"
    rows.append([name, mbs("copy"), mbs("simdjson_dom"), mbs("parse"), ratio_cell, mbs("compile"),
                 mbs("encode"), mbs("decode"), mbs("decompile"), mbs("dumps_core"), mbs("loads_core")])
  g = fig.get("geomean_parse_over_simdjson")
  if g is not None:
    rows.append(["**geomean**", "", "", "", f"**{g:.2f}**", "", "", "", "", "", ""])
  return table(header, rows)


def baseline_tables(fig: dict) -> list[str]:
  """Markdown of the JSON road before (the baseline checkout) and now."""
  lines = []
  if fig.get("stages"):
    header = ["File", "simdjson MB/s before", "now", "parse MB/s before", "now", "now / before*",
              "dumps core MB/s before", "now", "now / before*"]
    rows = []
    for name, row in fig["stages"].items():
      cells = [name]
      for stage in ("simdjson_dom", "parse", "dumps_core"):
        if stage not in row:
          cells += ["–"] * (2 if stage == "simdjson_dom" else 3)
          continue
        cells += [f"{row[stage]['before']:,.0f}", f"{row[stage]['now']:,.0f}"]
        if stage != "simdjson_dom":
          cells.append(f"{row[stage]['normalised']:.2f}" if "normalised" in row[stage] else "–")
      rows.append(cells)
    def bold(key: str) -> str:
      value = fig.get(key)
      return f"**{value:.2f}**" if value is not None else ""
    rows.append(["**geomean**", "", "", "", "", bold("parse_now_over_before"), "", "",
                 bold("dumps_core_now_over_before")])
    lines += ["### C++ stages", "",
              "\\* Each stage's MB/s divided by simdjson's in the same run, now over before: the baseline's "
              "stages ran in their own process after this run's, and the machine's pace differs between the two "
              "by as much as the changes measured (see the simdjson columns). Without that correction the "
              f"geometric means would read {fig.get('parse_now_over_before_raw') or 0:.2f} (parse) and "
              f"{fig.get('dumps_core_now_over_before_raw') or 0:.2f} (dumps core). The parser's throughput over "
              f"simdjson's, geometric mean: {fig.get('geomean_parse_over_simdjson_before') or 0:.2f} before, "
              f"{fig.get('geomean_parse_over_simdjson_now') or 0:.2f} now.", "",
              table(header, rows), ""]
  if fig.get("dumps"):
    rows = [[name, f"{ratio:.2f}"] for name, ratio in sorted(fig["dumps"].items())]
    rows.append(["**geomean**", f"**{fig['dumps_geomean']:.2f}**"])
    lines += ["### dumps from Python", "",
              "Both modules in one process, samples interleaved (bench/compare_builds.py); the speed-up is the "
              "baseline's time divided by this build's.", "", table(["File", "speed-up"], rows), ""]
  if fig.get("scale"):
    header = ["Input", "JSON MB", "dumps s/MB before", "now", "vs first before", "now",
              "peak extra before", "now"]
    rows, firsts = [], {}
    for p in fig["scale"]:
      cells = [f"{p['copies']} × unit", f"{p['json_bytes'] / 1e6:.1f}"]
      times, rel, peaks = [], [], []
      for key in ("dumps_baseline", "dumps"):
        d = p.get(key) or {}
        if "error" in d or not d:
          times.append("–"); rel.append("–"); peaks.append(d.get("error", "–"))
          continue
        first = firsts.setdefault(key, d)
        times.append(f"{d['seconds_per_mb'] * 1e3:.2f} ms")
        rel.append(f"{d['relative_to_orjson'] / first['relative_to_orjson']:.2f}")
        peaks.append(f"{d['peak_extra_bytes'] / 1e6:,.0f} MB ({d['peak_extra_per_json_byte']:.2f}x)")
      rows.append(cells + times + rel + peaks)
    lines += ["### dumps from about 1 MB to about 100 MB", "",
              "As in the scaling table: each (build, size) in a fresh process; \"vs first\" is the time per MB "
              "relative to the first size, each time taken relative to orjson.loads in its own process.", "",
              table(header, rows), ""]
  return lines


def scale_table(fig: dict) -> str:
  header = ["Input", "JSON MB", "velq MB", "dumps s/MB", "vs first", "vs first, normalised", "dumps peak extra",
            "loads s/MB", "vs first", "vs first, normalised", "loads peak extra",
            "orjson.loads s/MB (reference)"]
  rows = []
  firsts: dict[str, dict] = {}
  for p in fig["points"]:
    mb = p["json_bytes"] / 1e6
    cells = [f"{p['copies']} × unit", f"{mb:.1f}",
             f"{p['velq_bytes'] / 1e6:.1f}" if "velq_bytes" in p else "–"]
    for op in ("dumps", "loads"):
      d = p.get(op)
      if not d or "error" in d:
        cells += ["–", "–", "–", (d or {}).get("error", p.get("error", "–"))]
        continue
      first = firsts.setdefault(op, d)
      rel = d["seconds_per_mb"] / first["seconds_per_mb"]
      normalised = d["relative_to_orjson"] / first["relative_to_orjson"]
      peak = f"{d['peak_extra_bytes'] / 1e6:,.0f} MB ({d['peak_extra_per_json_byte']:.2f}x)"
      if op == "dumps":
        peak += f" {mark(d['peak_extra_per_json_byte'] <= DUMPS_PEAK_GOAL)}"
      cells += [f"{d['seconds_per_mb'] * 1e3:.2f} ms", f"{rel:.2f}", f"{normalised:.2f}", peak]
    ref = (p.get("dumps") or {}).get("orjson_loads_seconds_per_mb")
    cells.append(f"{ref * 1e3:.2f} ms" if ref else "–")
    rows.append(cells)
  return table(header, rows)


def markdown(results: dict) -> str:
  meta = results.get("meta", {})
  versions = results.get("versions", {})
  lines = [
    "# velq benchmark results",
    "",
    f"Command: `{meta.get('command', 'bench/run.sh')}` ({meta.get('mode', '?')} mode), {meta.get('date', '')}. "
    f"Machine: {meta.get('machine', {}).get('cpu', '?')}, {meta.get('machine', {}).get('cores', '?')} cores. "
    f"Repository: {meta.get('repository', {}).get('commit', '?')}"
    + (" with uncommitted changes" if meta.get("repository", {}).get("uncommitted_changes") else "") + ".",
    "",
    "Versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()
                             if k not in ("velq_module", "velq_scan_road") and v) + ".",
    "",
    f"velq's text scan ran on the {versions.get('velq_scan_road', '?')} road (see bench/README.md).",
    "",
    "Every time is the median of samples taken round-robin in one process; a ratio is the peer's time "
    "divided by velq's (above 1: velq is faster). Compare ratios, not absolute times across runs.",
    "",
  ]
  if results.get("skipped"):
    lines += ["Files left out (dumps refused them):", ""]
    lines += [f"- {name}: {reason}" for name, reason in results["skipped"].items()] + [""]
  tgt = results.get("targets", [])
  if tgt:
    lines += ["## Targets", "",
              table(["Target", "Measured", "Goal", "Met"],
                    [[t["target"], f"{t['measured']:.2f}" if t["measured"] is not None else "–", t["goal"],
                      mark(t["met"])] for t in tgt], ["l", "r", "l", "l"]), ""]
  if results.get("to_binary"):
    lines += ["## JSON text to binary", "",
              "velq.dumps(text) against parsing the text and packing the objects. Marked: the target peer "
              "(no file below 1.0x, geomean at least 2.5x).", "",
              speed_table(results["to_binary"], "velq.dumps", DUMPS_PEERS, DUMPS_PEERS[0], 1.0), ""]
  if results.get("to_python"):
    lines += ["## Binary to Python", "",
              "velq.loads against unpacking the same data; orjson.loads of the JSON text for reference. "
              f"Marked: the target peer (no file below {LOADS_FLOOR}x, geomean at least 1.5x).", "",
              speed_table(results["to_python"], "velq.loads", LOADS_PEERS, "ormsgpack.unpackb", LOADS_FLOOR), ""]
  if results.get("from_python"):
    lines += ["## Python to binary", "",
              "velq.emit(obj) against packing the same object. obj is the parsed document with None values "
              "dropped and every dict cut to its first 128 items (emit's rules).", "",
              speed_table(results["from_python"], "velq.emit", EMIT_PEERS, "msgpack.packb", 1.0), ""]
    notes = [f"- {name}: {info['skipped']}" for name, info in results.get("emit_inputs", {}).items()
             if "skipped" in info]
    changed = [f"- {name}: {info['nulls_dropped']:,} None values dropped"
               + (f", {info['dicts_truncated']} dict(s) cut to 128 items ({info['items_dropped']:,} items dropped)"
                  if info["dicts_truncated"] else "")
               for name, info in results.get("emit_inputs", {}).items()
               if "skipped" not in info and (info["nulls_dropped"] or info["dicts_truncated"])]
    if notes:
      lines += ["Files left out:", ""] + notes + [""]
    if changed:
      lines += ["Inputs changed for emit:", ""] + changed + [""]
  if results.get("small"):
    sm = results["small"]
    params = sm.get("params") or {}
    lines += ["## Small documents", "",
              "One call per document: tiny literal documents and single records cut from corpus files "
              "(minified). A time is the best of "
              f"{params.get('repeats', '?')} samples of about {params.get('target', 0) * 1e3:.0f} ms of calls, "
              "every contender a bare call in a plain loop (the loop's turn, some 10 to 20 ns, is in every "
              "figure); samples of one document and operation are taken round-robin. A ratio is the peer's time "
              "divided by velq's (above 1: velq is faster). A peer's road of two calls (decode, then encode) is "
              "the sum of the two, each timed on its own. msgspec's Encoder and Decoder are made once and reused. "
              "The documents for emit are the same records within emit's rules (no None values).", ""]
    for op, title in (("dumps", "JSON text to binary"), ("loads", "Binary to Python"),
                      ("emit", "Python to binary")):
      lines += [f"### {title}: velq.{op}", "", small_table(sm, op), ""]
  if results.get("size"):
    lines += ["## Size", "",
              "Bytes of each encoding of the same document, and each compressed with zstd (level 3), "
              "for information.", "", size_table(results["size"]), ""]
  if results.get("stages"):
    st = results["stages"]
    lines += ["## C++ stages", "",
              "MB/s of JSON text (every stage counts the JSON file's bytes, so stages of one file add up), "
              "median of interleaved repetitions (Google Benchmark). memcpy: a copy of the input, the floor. "
              "simdjson DOM: `dom::parser::parse` with the parser reused. parse, compile, encode, decode and "
              "decompile: the stages of the tree roads. dumps core and loads core: the roads the module runs "
              "below Python (JSON text compiled straight to bytes; the decoder feeding the decompiler, whose "
              "values are only counted).", ""]
    if st.get("compile_stage"):
      lines += [f"compile: {st['compile_stage']}" + (" (marked *)." if "minus" in st["compile_stage"] else "."),
                ""]
    if st.get("scan_road"):
      lines += [f"Text scan road of the parser: {st['scan_road']} (the best this CPU offers unless VELQ_SCAN "
                "named another).", ""]
    if st.get("simdjson_kernel"):
      lines += [f"simdjson's kernel: {st['simdjson_kernel']} (its own choice for this CPU).", ""]
    lines += [stage_table(st), ""]
    if st.get("skipped"):
      lines += ["Files left out:", ""] + [f"- {k}: {v}" for k, v in st["skipped"].items()] + [""]
  if results.get("scale"):
    sc = results["scale"]
    lines += ["## Scaling", "",
              "Unit: " + ", ".join(sc.get("unit_files") or []) + ", each wrapped as {name: document}, with "
              "the suffix ~i on every string of copy i (see bench/scale.py). Each figure comes from a fresh "
              "process. Normalised: each time divided by that of orjson.loads on the same text, interleaved in "
              "the same process, which takes out the machine's drift between processes. Peak extra: the peak "
              "resident memory of the first call above what the process held with its inputs loaded, and its "
              "ratio to the JSON text size.", "", scale_table(sc), ""]
  road = results.get("json_road_baseline")
  if road:
    base = meta.get("baseline") or {}
    before_road = road.get("scan_road_before")
    lines += ["## The JSON road before and after", "",
              f"Before: the checkout {base.get('commit') or base.get('path') or '?'}, built and run here by the same "
              "command; now: this run. The stages of the baseline ran in their own process right after this run's"
              + (f" (its parser had no choice of road)" if not before_road else f" (its road: {before_road})")
              + ", each run with simdjson as its own yardstick.", ""]
    lines += baseline_tables(road)
  cg = results.get("callgrind")
  if cg:
    lines += ["## Instruction counts (regression check)", "",
              f"`bench/callgrind.sh`: {cg['iterations']} rounds of {' and '.join(cg['files'])}.", "",
              table(["Workload", "Ir"],
                    [["core: the roads of dumps and loads below Python (C++)", fmt_int(cg["core_ir"])],
                     ["Python: velq.dumps + velq.loads (minus start-up)", fmt_int(cg.get("python_ir"))],
                     ["Python: velq.emit (minus start-up)", fmt_int(cg.get("emit_ir"))]]), ""]
    base = results.get("callgrind_baseline")
    if base:
      lines += [f"The same workload from the baseline checkout ({base.get('tree_commit') or '?'}, its core and its "
                f"module built by this run): core {fmt_int(base.get('core_ir'))}, velq.dumps + velq.loads "
                f"{fmt_int(base.get('python_ir'))}, velq.emit {fmt_int(base.get('emit_ir'))}.", ""]
    if cg.get("per_call_ir"):
      lines += ["### Instructions per call", "",
                "One call on `{\"id\":7,\"name\":\"x\",\"ok\":true}` (29 bytes; `loads` reads its `dumps` "
                f"output): (Ir of {fmt_int(cg.get('per_call_calls'))} calls in a Python loop minus Ir of 0 calls) "
                "/ calls, so one turn of the loop is included (`bench/callgrind_call.py`).", "",
                per_call_table(cg, base), ""]
  lines += ["![velq against its peers](chart.png)", ""]
  return "\n".join(lines)


# ---------------------------------------------------------------- chart

# Each road of the chart: velq's function, what it does, the section of the
# whole-file figures, and its two fastest peers as (name in bench.py's figures,
# name in small.py's, label on the chart).
CHART_ROADS = [
  ("dumps", "JSON text to binary", "to_binary", [
    ("orjson.loads", "orjson.loads", "orjson.loads (parse only)"),
    ("msgspec.msgpack.encode(msgspec.json.decode)", "msgspec.json decode + msgpack encode",
     "msgspec: JSON decode,\nmsgpack encode"),
  ]),
  ("loads", "binary to Python", "to_python", [
    ("msgspec.msgpack.decode", "msgspec.msgpack.decode", "msgspec.msgpack.decode"),
    ("ormsgpack.unpackb", "ormsgpack.unpackb", "ormsgpack.unpackb"),
  ]),
  ("emit", "Python to binary", "from_python", [
    ("msgspec.msgpack.encode", "msgspec.msgpack.encode", "msgspec.msgpack.encode"),
    ("ormsgpack.packb", "ormsgpack.packb", "ormsgpack.packb"),
  ]),
]
CHART_COLOURS = {"dumps": "#1f77b4", "loads": "#ff7f0e", "emit": "#2ca02c"}


def chart_speed_rows(results: dict) -> list[dict]:
  """One row per road and peer: its label and colour, and per source (whole
  files, small documents) the geometric mean of the ratios and their range."""
  small = results.get("small") or {}
  rows = []
  for op, _, section, peers in CHART_ROADS:
    files = (results.get(section) or {}).get("files", {})
    for file_peer, small_peer, label in peers:
      row = {"op": op, "label": label, "colour": CHART_COLOURS[op]}
      ratios = {"files": [f["ratio"][file_peer] for f in files.values() if file_peer in f["ratio"]],
                "small": [d[op]["ratio"][small_peer] for d in small.get("documents", [])
                          if small_peer in d.get(op, {}).get("ratio", {})]}
      for source, values in ratios.items():
        row[source] = (geomean(values), min(values), max(values)) if values else None
      rows.append(row)
  return rows


def chart(results: dict, path: Path) -> None:
  """velq against its two fastest peers on each road: speed on whole files and
  on small documents (peer time / velq time, geometric mean over the files or
  documents, the line from the slowest to the fastest), and size against
  msgpack. Drawn to be read at about 800 px wide."""
  import matplotlib
  matplotlib.use("Agg")
  import matplotlib.pyplot as plt
  from matplotlib.ticker import FuncFormatter, NullFormatter

  def plain_log_axis(axis, suffix: str = "") -> None:
    """Ticks at 1, 2 and 5 of every decade in view, written as plain numbers."""
    low, high = axis.get_view_interval()
    ticks = [m * 10.0 ** e for e in range(-3, 7) for m in (1, 2, 5) if low <= m * 10.0 ** e <= high]
    if len(ticks) > 9:
      ticks = [t for t in ticks if f"{t:g}".lstrip("0.").startswith("1")]
    axis.set_ticks(ticks)
    axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}{suffix}"))
    axis.set_minor_formatter(NullFormatter())

  plt.rcParams.update({"font.size": 9, "axes.titlesize": 10, "axes.titleweight": "bold"})
  fig = plt.figure(figsize=(8.5, 8.6), layout="constrained")
  grid = fig.add_gridspec(2, 2, height_ratios=[1.25, 1])
  ax_files = fig.add_subplot(grid[0, 0])
  ax_small = fig.add_subplot(grid[0, 1], sharex=ax_files, sharey=ax_files)
  ax_size = fig.add_subplot(grid[1, :])

  # Speed: one bar per road and peer, from the line at 1 to the geometric mean.
  # A heading row names each road, in its colour, above its two peers.
  rows = chart_speed_rows(results)
  ys, ticks, y = [], [], 0.0
  for i, row in enumerate(rows):
    if not i or row["op"] != rows[i - 1]["op"]:
      y += 0.4 if i else 0
      what = next(what for op, what, _, _ in CHART_ROADS if op == row["op"])
      ticks.append((y, f"{row['op']}: {what}", row["colour"]))
      y += 0.9
    ys.append(y)
    ticks.append((y, row["label"], None))
    y += 1
  spans = [v for row in rows for s in ("files", "small") if row[s] for v in row[s][1:]]
  low, high = min(spans + [1.0]) / 2.6, max(spans + [1.0]) * 2.4
  count = {"files": len((results.get("to_binary") or {}).get("files", {})),
           "small": len((results.get("small") or {}).get("documents", []))}
  panels = [(ax_files, "files", f"Whole files ({count['files']} corpus files)", "file"),
            (ax_small, "small", f"Small documents ({count['small']}, one call each)", "document")]
  for ax, source, title, unit in panels:
    drawn = [(y, row) for y, row in zip(ys, rows) if row[source] and not math.isnan(row[source][0])]
    for y, row in drawn:
      mean, slowest, fastest = row[source]
      ax.barh(y, mean - 1, left=1, height=0.72, color=row["colour"])
      ax.plot([slowest, fastest], [y, y], color="black", linewidth=1, solid_capstyle="butt")
      ax.plot([slowest, fastest], [y, y], linestyle="none", marker="|", markersize=7, color="black")
      right = mean >= 1
      ax.text(max(mean, fastest) * 1.08 if right else min(mean, slowest) / 1.08, y, f"{mean:.2f}x",
              ha="left" if right else "right", va="center", fontsize=9, fontweight="bold")
    if not drawn:  # the axes stay: the left one carries the rows' labels
      ax.text(0.5, 0.5, "not measured in this run", ha="center", va="center", transform=ax.transAxes)
    ax.axvline(1.0, color="black", linewidth=1)
    ax.set_xscale("log")
    ax.set_xlim(low, high)
    plain_log_axis(ax.xaxis, "x")
    ax.set_title(f"{title}\n", loc="left")
    ax.text(0, 1.02, f"bars: geometric mean; lines: range over the {unit}s", transform=ax.transAxes,
            fontsize=8, color="dimgrey", va="bottom")
    ax.set_xlabel("peer time / velq time (above 1: velq is faster)")
    ax.grid(axis="x", color="lightgrey", linewidth=0.6)
    ax.set_axisbelow(True)
  ax_files.set_yticks([t[0] for t in ticks], [t[1] for t in ticks])
  for label, (_, _, colour) in zip(ax_files.get_yticklabels(), ticks):
    if colour:
      label.set(color=colour, fontweight="bold")
  ax_files.tick_params(axis="y", length=0)
  ax_files.set_ylim(ys[-1] + 0.7, -0.6)
  ax_small.tick_params(axis="y", labelleft=False, left=False)

  # Size: velq's bytes over msgpack's, as they are and both compressed with zstd.
  sizes = (results.get("size") or {}).get("files", {})
  if sizes:
    names = list(sizes) + ["geometric mean"]
    plain = [f["velq_over_msgpack"] for f in sizes.values()]
    packed = [f["velq_zstd_over_msgpack_zstd"] for f in sizes.values()]
    plain.append(geomean(plain))
    packed.append(geomean(packed))
    xs = [i + (0.6 if i == len(names) - 1 else 0) for i in range(len(names))]
    width = 0.4
    for offset, values, colour, label in ((-width / 2, plain, "#6a3d9a", "velq / msgpack"),
                                          (width / 2, packed, "#cab2d6", "both compressed with zstd (level 3)")):
      ax_size.bar([x + offset for x in xs], values, width=width, color=colour, label=label)
      for x, v in zip(xs, values):
        ax_size.text(x + offset, v + 0.02, f"{v:.2f}", rotation=90, ha="center", va="bottom", fontsize=7.5)
    ax_size.axhline(1.0, color="black", linewidth=1)
    ax_size.set_xticks(xs, [n.removesuffix(".json") for n in names], rotation=35, ha="right",
                       rotation_mode="anchor", fontsize=8.5)
    ax_size.get_xticklabels()[-1].set_fontweight("bold")
    ax_size.set_xlim(xs[0] - 0.6, xs[-1] + 0.6)
    ax_size.set_ylim(0, max(plain + packed + [1.0]) + 0.22)
    ax_size.set_ylabel("velq bytes / msgpack bytes\n(below 1: velq is smaller)")
    ax_size.set_title("Size against msgpack", loc="left")
    ax_size.legend(loc="lower right", bbox_to_anchor=(1, 1), ncol=2, fontsize=8.5, frameon=False,
                   borderaxespad=0, handlelength=1.2)
  else:
    ax_size.set_axis_off()
    ax_size.text(0.5, 0.5, "not measured in this run", ha="center", va="center", transform=ax_size.transAxes)

  meta, versions = results.get("meta", {}), results.get("versions", {})
  machine = meta.get("machine") or {}
  where = ", ".join(p for p in (machine.get("cpu"), f"{machine['cores']} cores" if machine.get("cores") else "",
                                f"CPython {versions['python']}" if versions.get("python") else "") if p)
  run = "" if meta.get("mode", "full") == "full" else f", {meta['mode']} run"
  fig.suptitle(f"velq against its fastest peers\n{meta.get('date', '')}, {where}{run}",
               fontsize=10.5)
  fig.savefig(path, dpi=110)
  plt.close(fig)


def main() -> None:
  raw, out = Path(sys.argv[1]), Path(sys.argv[2])
  meta = load(raw / "meta.json") or {}
  python = load(raw / "python.json")
  scale = load(raw / "scale.json")
  stages = load(raw / "stages.json")
  callgrind = load(raw / "callgrind.json")
  callgrind_baseline = load(raw / "callgrind_baseline.json")
  small = load(raw / "small.json")
  stages_baseline = load(raw / "stages_baseline.json")
  dumps_baseline = load(raw / "dumps_baseline.json")

  results: dict = {"meta": meta}
  json_sizes: dict[str, int] = {}
  if python:
    files = python["files"]
    json_sizes = {f["file"]: f["json_bytes"] for f in files}
    results["versions"] = python.get("versions", {})
    results["python_params"] = python.get("params")
    results["skipped"] = {f["file"]: f["skipped"] for f in files if "skipped" in f}
    results["to_binary"] = speed_figures(files, "to_binary", "velq.dumps", DUMPS_PEERS)
    results["to_python"] = speed_figures(files, "to_python", "velq.loads", LOADS_PEERS)
    results["from_python"] = speed_figures(files, "from_python", "velq.emit", EMIT_PEERS)
    results["emit_inputs"] = {f["file"]: f["emit_input"] for f in files if "emit_input" in f}
    results["size"] = size_figures(files)
  if stages:
    if not json_sizes:
      from common import representable_files
      json_sizes = {f.name: f.size for f in representable_files()}
    results["stages"] = stage_figures(stages, json_sizes)
  if scale:
    results["scale"] = scale_figures(scale)
  if small:
    results["small"] = small_figures(small)
    results.setdefault("versions", {})["msgspec"] = small.get("msgspec")
  if callgrind:
    results["callgrind"] = callgrind
  if callgrind_baseline:
    results["callgrind_baseline"] = callgrind_baseline
  if stages_baseline or dumps_baseline:
    results["json_road_baseline"] = json_road_baseline_figures(stages_baseline, dumps_baseline, scale, json_sizes,
                                                               results.get("stages"))
  results["targets"] = targets(results)

  out.mkdir(parents=True, exist_ok=True)
  (out / "results.json").write_text(json.dumps(results, indent=1, default=str), encoding="utf-8")
  (out / "results.md").write_text(markdown(results), encoding="utf-8")
  chart(results, out / "chart.png")
  print(markdown(results))


if __name__ == "__main__":
  main()
