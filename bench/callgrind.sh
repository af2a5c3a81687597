#!/usr/bin/env bash
# Instruction counts (callgrind's Ir) of a fixed workload, for regression
# checks: unlike timings on these machines they repeat to within a fraction of
# a percent, so two builds can be compared run against run.
#
#   bench/callgrind.sh [--tree DIR] [--module] [--build DIR] [--python PY] [--calls N] [--json FILE]
#
# Workload: 3 rounds of twitter.json and canada.json through
#   core:   the roads of dumps (parse and compile straight to bytes) and loads (decode
#           feeding the decompiler) in C++ (bench/cpp/workload.cpp, no Python);
#   python: velq.dumps then velq.loads, and velq.emit (bench/callgrind_workload.py),
#           each counted as the run minus a run that only starts, imports and reads the files;
#   per call: one call of velq.dumps, velq.loads and velq.emit on the 29-byte document
#           {"id":7,"name":"x","ok":true} (bench/callgrind_call.py): (Ir of N calls in a
#           Python loop - Ir of 0 calls) / N, so the loop's turn is included; orjson.loads and
#           msgspec's reused msgpack Decoder and Encoder are counted the same way for reference.
# The Python parts run when PY (default bench/.venv/bin/python) imports velq:
# the velq installed there, or with --module the module built from --tree's
# checkout (into BUILD_DIR/module, put first on PYTHONPATH).
# --tree names another checkout of the repository to build the core workload
# from (default: this one), for before/after comparisons; a checkout from
# before the C++ benchmarks joined the main CMake project builds bench/cpp on
# its own.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(dirname "$BENCH_DIR")
CORPUS_DIR=${VELQ_CORPUS_DIR:-${VELQ_SHARED_DIR:-$(dirname "$REPO_DIR")/shared}/corpus}
TREE=$REPO_DIR
BUILD_DIR=$BENCH_DIR/build/cpp
PYTHON=$BENCH_DIR/.venv/bin/python
JSON_OUT=
MODULE=
CALLS=20000
ITERATIONS=3
FILES=("$CORPUS_DIR/twitter.json" "$CORPUS_DIR/canada.json")

while [ $# -gt 0 ]; do
  case "$1" in
    --tree) TREE=$(cd "$2" && pwd); shift 2 ;;
    --build) BUILD_DIR=$2; shift 2 ;;
    --python) PYTHON=$2; shift 2 ;;
    --json) JSON_OUT=$2; shift 2 ;;
    --module) MODULE=1; shift ;;
    --calls) CALLS=$2; shift 2 ;;
    *) echo "usage: $0 [--tree DIR] [--module] [--build DIR] [--python PY] [--calls N] [--json FILE]" >&2; exit 2 ;;
  esac
done

[ -f "${FILES[0]}" ] && [ -f "${FILES[1]}" ] ||
  { echo "callgrind.sh needs the shared corpus: ../shared/corpus or \$VELQ_SHARED_DIR/corpus (looked in $CORPUS_DIR)" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }

# cmake and ninja of the benchmark environment when there is one.
if [ -x "$BENCH_DIR/.venv/bin/cmake" ]; then export PATH="$BENCH_DIR/.venv/bin:$PATH"; fi
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
if grep -q VELQ_BUILD_BENCH "$TREE/CMakeLists.txt"; then
  project=(-S "$TREE" -DVELQ_BUILD_MODULE=OFF -DVELQ_BUILD_BENCH=ON)
else
  project=(-S "$TREE/bench/cpp" -DVELQ_SRC_DIR="$TREE/src")
fi
# A build directory configured from another project is configured afresh.
fresh=()
if [ -f "$BUILD_DIR/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=${project[1]}" "$BUILD_DIR/CMakeCache.txt"; then
  fresh=(--fresh)
fi
cmake "${fresh[@]}" "${project[@]}" -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target velq_workload -j 2 >/dev/null

if [ -n "$MODULE" ]; then
  # The module as the checkout's own build description makes it (a Release
  # build), installed into a directory of its own rather than the environment.
  # (VELQ_MODULE_BUILT=1: bench/run.py built it there a moment ago.)
  if [ "${VELQ_MODULE_BUILT:-}" != 1 ]; then
    rm -rf "$BUILD_DIR/module"
    CMAKE_BUILD_PARALLEL_LEVEL=2 "$PYTHON" -m pip install -q --no-build-isolation --no-deps \
      --target "$BUILD_DIR/module" "$TREE" >/dev/null
  fi
  export PYTHONPATH=$BUILD_DIR/module${PYTHONPATH:+:$PYTHONPATH}
fi

OUT_DIR=$(mktemp -d)
trap 'rm -rf "$OUT_DIR"' EXIT

# Total Ir of one program run under callgrind.
count_ir() {
  local out=$OUT_DIR/callgrind.out.$RANDOM
  PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >/dev/null 2>"$out.log" || {
    cat "$out.log" >&2
    return 1
  }
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
}

core_ir=$(count_ir "$BUILD_DIR/velq_workload" "$ITERATIONS" "${FILES[@]}")
echo "callgrind Ir, core workload ($ITERATIONS rounds of twitter.json + canada.json): $core_ir"

# Ir of one road of the Python workload, start-up subtracted.
python_road_ir() {
  local total base
  total=$(count_ir "$PYTHON" "$BENCH_DIR/callgrind_workload.py" "$1" "$ITERATIONS" "${FILES[@]}")
  base=$(count_ir "$PYTHON" "$BENCH_DIR/callgrind_workload.py" "$1" 0 "${FILES[@]}")
  echo $((total - base))
}

# Ir of one call of a function on the tiny document, loop included.
call_ir() {
  local total base
  total=$(count_ir "$PYTHON" "$BENCH_DIR/callgrind_call.py" "$1" "$CALLS")
  base=$(count_ir "$PYTHON" "$BENCH_DIR/callgrind_call.py" "$1" 0)
  echo $(((total - base + CALLS / 2) / CALLS))
}

python_ir=
emit_ir=
per_call=
if [ -x "$PYTHON" ] && "$PYTHON" -c "import velq" 2>/dev/null; then
  echo "velq module: $("$PYTHON" -c 'import velq; print(velq.__file__)')"
  python_ir=$(python_road_ir dumps-loads)
  echo "callgrind Ir, Python workload (velq.dumps + velq.loads, same files and rounds): $python_ir"
  emit_ir=$(python_road_ir emit)
  echo "callgrind Ir, Python workload (velq.emit of the parsed files, same rounds): $emit_ir"
  for function in dumps loads emit orjson.loads msgspec.msgpack.decode msgspec.msgpack.encode; do
    case "$function" in
      orjson.*) "$PYTHON" -c "import orjson" 2>/dev/null || continue ;;
      msgspec.*) "$PYTHON" -c "import msgspec" 2>/dev/null || continue ;;
    esac
    ir=$(call_ir "$function")
    echo "callgrind Ir per call on {\"id\":7,\"name\":\"x\",\"ok\":true} ($CALLS calls, Python loop included), $function: $ir"
    per_call+="${per_call:+, }\"$function\": $ir"
  done
else
  echo "Python workload skipped: $PYTHON cannot import velq" >&2
fi

if [ -n "$JSON_OUT" ]; then
  if [ -n "$MODULE" ]; then module_source="built from the tree"; else module_source=installed; fi
  cat >"$JSON_OUT" <<EOF
{"iterations": $ITERATIONS, "files": ["twitter.json", "canada.json"], "core_ir": $core_ir, "python_ir": ${python_ir:-null}, "emit_ir": ${emit_ir:-null}, "tree_commit": "$(git -C "$TREE" rev-parse --short HEAD 2>/dev/null)", "module": "$module_source", "per_call_calls": $CALLS, "per_call_ir": {$per_call}}
EOF
fi
