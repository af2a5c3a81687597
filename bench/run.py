"""Runs the benchmark suite and writes its report (started by bench/run.sh,
which prepares the environment this script runs in).

Steps: copy the repository to a snapshot directory (so that others' edits
during the run change nothing), install velq from it into this environment,
build the C++ benchmarks from the same snapshot, then run
  bench.py        velq against the peers on every representable corpus file,
  small.py        velq against the peers on documents of 10 B to 5 KB, one call each,
  scale.py        dumps and loads from about 1 MB to about 100 MB,
  velq_stages     the C++ stages beside simdjson and memcpy,
  callgrind.sh    instruction counts of a fixed workload and of one call on a
                  tiny document (full mode only), and with --baseline the same
                  counts of another checkout, side by side in the report;
with --baseline, the JSON road before and after: the other checkout's module
against this one in one process (compare_builds.py, dumps), its dumps at every
size of scale.py, and its parse and dumps core stages,
and write results.json, results.md and chart.png (report.py).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from pathlib import Path

from common import BENCH_DIR, REPO_DIR, representable_files, require_corpus

# Not part of the snapshot: version control, environments, build trees, results.
SNAPSHOT_EXCLUDES = {".git", "build", "__pycache__", ".pytest_cache", ".hypothesis", "results"}

# The stages of the JSON road, and simdjson as the yardstick of each run, run
# for the baseline checkout too.
BASELINE_STAGES = "^(parse|dumps_core|simdjson_dom)/"

STAGE_SETTINGS = {
  # min_time: seconds per repetition; each benchmark's repetitions are
  # interleaved at random with every other benchmark's
  "full": ["--benchmark_min_time=0.3", "--benchmark_repetitions=5"],
  "quick": ["--benchmark_min_time=0.02", "--benchmark_repetitions=3"],
}


def log(message: str) -> None:
  print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def run(command: list[str], **kwargs) -> subprocess.CompletedProcess:
  log("$ " + " ".join(str(part) for part in command))
  return subprocess.run([str(part) for part in command], check=True, **kwargs)


def excluded(relative: Path) -> bool:
  return any(part in SNAPSHOT_EXCLUDES or part.startswith(".venv") for part in relative.parts)


def sync_snapshot(source: Path, target: Path) -> None:
  """Makes `target` a copy of `source`'s files, copying only what changed
  (with its modification time), so that the snapshot's build stays
  incremental. `target`'s own build directory is kept."""
  wanted = set()
  for directory, subdirectories, files in os.walk(source):
    relative_dir = Path(directory).relative_to(source)
    subdirectories[:] = [d for d in subdirectories if not excluded(relative_dir / d)]
    for name in files:
      relative = relative_dir / name
      wanted.add(relative)
      src, dst = source / relative, target / relative
      stat = src.stat()
      if dst.exists():
        dst_stat = dst.stat()
        if dst_stat.st_size == stat.st_size and int(dst_stat.st_mtime) == int(stat.st_mtime):
          continue
      dst.parent.mkdir(parents=True, exist_ok=True)
      shutil.copy2(src, dst)
  for directory, subdirectories, files in os.walk(target):
    relative_dir = Path(directory).relative_to(target)
    subdirectories[:] = [d for d in subdirectories if not excluded(relative_dir / d)]
    for name in files:
      if relative_dir / name not in wanted:
        (target / relative_dir / name).unlink()


def git_state(tree: Path = REPO_DIR) -> dict:
  def git(*args: str) -> str:
    try:
      return subprocess.run(["git", "-C", str(tree), *args], capture_output=True, text=True,
                            check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
      return ""
  return {"commit": git("rev-parse", "--short", "HEAD"),
          "uncommitted_changes": bool(git("status", "--porcelain", "--untracked-files=no"))}


def machine() -> dict:
  cpu = ""
  try:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
      if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break
  except OSError:
    pass
  return {"cpu": cpu, "cores": os.cpu_count(), "system": platform.platform()}


def install_velq(snapshot: Path) -> None:
  run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--force-reinstall",
       str(snapshot)], cwd=snapshot)
  run([sys.executable, "-c", "import velq; assert velq.loads(velq.dumps('[1]')) == [1]"], cwd=BENCH_DIR)


def build_stages(tree: Path, build_dir: Path) -> Path:
  """Builds the C++ benchmarks with the repository's CMake project as it is in
  `tree` (the snapshot, or the repository itself). A build directory that was
  configured from another tree is configured afresh."""
  env_bin = Path(sys.executable).parent
  generator = ["-G", "Ninja"] if (env_bin / "ninja").exists() or shutil.which("ninja") else []
  cmake = str(env_bin / "cmake") if (env_bin / "cmake").exists() else "cmake"
  env = dict(os.environ, PATH=f"{env_bin}:{os.environ.get('PATH', '')}")
  cache = build_dir / "CMakeCache.txt"
  fresh = ["--fresh"] if cache.exists() and f"CMAKE_HOME_DIRECTORY:INTERNAL={tree}\n" not in cache.read_text() else []
  run([cmake, *fresh, "-S", tree, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release",
       "-DVELQ_BUILD_MODULE=OFF", "-DVELQ_BUILD_BENCH=ON"], env=env, stdout=subprocess.DEVNULL)
  run([cmake, "--build", build_dir, "-j", "2", "--target", "velq_stages", "velq_workload"], env=env,
      stdout=subprocess.DEVNULL)
  return build_dir / "velq_stages"


def run_stages(binary: Path, mode: str, out: Path, files: list[Path], only: str | None = None) -> None:
  selection = [f"--benchmark_filter={only}"] if only else []
  run([binary, *STAGE_SETTINGS[mode], *selection, "--benchmark_enable_random_interleaving=true",
       "--benchmark_report_aggregates_only=true", "--benchmark_format=console",
       f"--benchmark_out={out}", "--benchmark_out_format=json", *files], stdout=subprocess.DEVNULL)


def build_module(tree: Path, target: Path) -> Path:
  """The module of another checkout as its own build description makes it,
  installed into a directory of its own rather than the environment."""
  shutil.rmtree(target, ignore_errors=True)
  run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--target", str(target),
       str(tree)], env=dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2"))
  return target


def module_file(directory: Path | None) -> str:
  """The extension module file of the velq in `directory`, or of the installed one."""
  code = "import velq; print(velq.__file__)"
  env = dict(os.environ, PYTHONPATH=str(directory)) if directory else None
  return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env,
                        cwd=BENCH_DIR).stdout.strip()


def main() -> None:
  parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
  parser.add_argument("--quick", action="store_true", help="reduced run, under two minutes once set up")
  parser.add_argument("--out", type=Path, help="results directory (default bench/results, or results/quick)")
  parser.add_argument("--snapshot", type=Path, default=Path("/tmp/velq-bench-src"),
                      help="where the repository is copied and velq is built")
  parser.add_argument("--no-install", action="store_true", help="measure the velq already installed")
  parser.add_argument("--skip", nargs="*", default=[], choices=["python", "small", "scale", "stages", "callgrind"],
                      help="steps to leave out (their figures are then missing from the report)")
  parser.add_argument("--callgrind", action="store_true", help="count instructions in quick mode too")
  parser.add_argument("--baseline", type=Path, metavar="CHECKOUT",
                      help="another checkout to compare with (its core and its module, built in "
                           "bench/build/baseline): its instruction counts and its JSON road's times")
  args = parser.parse_args()
  require_corpus()  # before anything is built

  mode = "quick" if args.quick else "full"
  out = args.out or (BENCH_DIR / "results" / ("quick" if args.quick else ""))
  raw = out / "raw"
  raw.mkdir(parents=True, exist_ok=True)
  for stale in raw.glob("*.json"):
    stale.unlink()
  started = time.time()

  snapshot = args.snapshot.resolve()
  if not args.no_install:
    log(f"snapshot of {REPO_DIR} in {snapshot}")
    sync_snapshot(REPO_DIR, snapshot)
    install_velq(snapshot)
  build_started = time.time()

  files = [f.path for f in representable_files()]
  quick_flag = ["--quick"] if args.quick else []
  baseline_dir = BENCH_DIR / "build" / "baseline"
  baseline_module = build_module(args.baseline.resolve(), baseline_dir / "module") if args.baseline else None
  if "python" not in args.skip:
    run([sys.executable, BENCH_DIR / "bench.py", *quick_flag, "--out", raw / "python.json"], cwd=BENCH_DIR)
    if baseline_module:
      run([sys.executable, BENCH_DIR / "compare_builds.py", module_file(baseline_module), module_file(None),
           *quick_flag, "--operations", "dumps", "--json", raw / "dumps_baseline.json"], cwd=BENCH_DIR)
  if "small" not in args.skip:
    run([sys.executable, BENCH_DIR / "small.py", *quick_flag, "--out", raw / "small.json"], cwd=BENCH_DIR)
  if "scale" not in args.skip:
    baseline_flag = ["--baseline-module", baseline_module] if baseline_module else []
    run([sys.executable, BENCH_DIR / "scale.py", *quick_flag, *baseline_flag, "--out", raw / "scale.json"],
        cwd=BENCH_DIR)
  source = snapshot if not args.no_install else REPO_DIR
  if "stages" not in args.skip:
    binary = build_stages(source, BENCH_DIR / "build" / "cpp")
    run_stages(binary, mode, raw / "stages.json", files)
    if args.baseline:
      baseline_binary = build_stages(args.baseline.resolve(), baseline_dir / "cpp")
      run_stages(baseline_binary, mode, raw / "stages_baseline.json", files, BASELINE_STAGES)
  if "callgrind" not in args.skip and (mode == "full" or args.callgrind):
    run(["bash", BENCH_DIR / "callgrind.sh", "--tree", source, "--build", BENCH_DIR / "build" / "cpp",
         "--python", sys.executable, "--json", raw / "callgrind.json"])
    if args.baseline:
      run(["bash", BENCH_DIR / "callgrind.sh", "--tree", args.baseline.resolve(), "--module",
           "--build", baseline_dir, "--python", sys.executable, "--json", raw / "callgrind_baseline.json"],
          env=dict(os.environ, VELQ_MODULE_BUILT="1"))

  meta = {
    "mode": mode,
    "command": " ".join(["bench/run.sh", *sys.argv[1:]]),
    "date": time.strftime("%Y-%m-%d %H:%M"),
    "machine": machine(),
    "repository": git_state(),
    "baseline": ({"path": str(args.baseline), "commit": git_state(args.baseline.resolve())["commit"]}
                 if args.baseline else None),
    "setup_seconds": round(build_started - started, 1),
    "measure_seconds": round(time.time() - build_started, 1),
  }
  (raw / "meta.json").write_text(json.dumps(meta, indent=1), encoding="utf-8")
  run([sys.executable, BENCH_DIR / "report.py", raw, out], cwd=BENCH_DIR)
  log(f"done in {time.time() - started:.0f} s: {out / 'results.md'}")


if __name__ == "__main__":
  main()
