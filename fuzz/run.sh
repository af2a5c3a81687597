#!/usr/bin/env bash
# Builds the fuzzers, replays every saved regression input, then fuzzes each
# target for a fixed time over its seeds and regressions. Exits non-zero on
# any finding (crash, sanitizer report, leak, timeout, out-of-memory).
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     default: 60, the three C++ targets
# Targets: decode compile roundtrip (C++, libFuzzer), loads dumps emit (Python,
# atheris, against the module built with coverage and the sanitizers).
# Everything is built by CMake's fuzz preset (clang-14; fuzz/CMakeLists.txt);
# the Python targets' venv (CPython 3.12 with atheris) goes in the same tree.
# Environment: VELQ_FUZZ_BUILD (default build/fuzz), VELQ_SHARED_DIR (the folder of the
# shared conformance files, extra seeds of the JSON targets when present; default ../shared),
# VELQ_FUZZ_SEED (libFuzzer's random seed; unset: a new one each run), CXX (default
# clang++-14), PYTHON312 (see tools/find_python.sh).
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VELQ_FUZZ_BUILD:-$ROOT/build/fuzz}"
SHARED="${VELQ_SHARED_DIR:-$ROOT/../shared}"
SECONDS_PER_TARGET="${1:-60}"
shift || true
TARGETS=("$@")
[[ ${#TARGETS[@]} -gt 0 ]] || TARGETS=(decode compile roundtrip)

CXX="${CXX:-clang++-14}"
ATHERIS_VERSION=3.1.0
is_python() { [[ "$1" == loads || "$1" == dumps || "$1" == emit ]]; }
python_targets=0
cpp_targets=0
for target in "${TARGETS[@]}"; do
  if is_python "$target"; then python_targets=1; else cpp_targets=1; fi
done

command -v "$CXX" >/dev/null || { echo "run.sh: $CXX not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
python312="$(bash "$ROOT/tools/find_python.sh" 3.12)"
[[ -n "$python312" || $python_targets == 0 ]] || { echo "run.sh: CPython 3.12 not found (set PYTHON312)" >&2; exit 1; }

# One tree: the core, the C++ targets and make_seeds, the module and the runtime
# that the Python targets preload. Only what the targets need is built.
build_targets=()
[[ $cpp_targets == 0 ]] || build_targets+=(decode_fuzzer compile_fuzzer roundtrip_fuzzer make_seeds)
[[ $python_targets == 0 ]] || build_targets+=(velq velq_fuzz_runtime)
mkdir -p "$BUILD" && BUILD="$(cd "$BUILD" && pwd)"
module=(-DVELQ_BUILD_MODULE=OFF)
[[ -z "$python312" ]] || module=(-DVELQ_BUILD_MODULE=ON "-DPython_EXECUTABLE=$python312")
echo "building ${build_targets[*]} in $BUILD"
(cd "$ROOT" && cmake --preset fuzz -B "$BUILD" "-DCMAKE_CXX_COMPILER=$CXX" "${module[@]}") >"$BUILD/cmake.log" 2>&1 &&
  cmake --build "$BUILD" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target "${build_targets[@]}" \
    >>"$BUILD/cmake.log" 2>&1 || { tail -n 40 "$BUILD/cmake.log"; echo "run.sh: the build failed (log: $BUILD/cmake.log)" >&2; exit 1; }

if [[ $python_targets == 1 ]]; then
  venv="$BUILD/venv"
  if [[ ! -x "$venv/bin/python" ]]; then
    "$python312" -m venv "$venv" && "$venv/bin/python" -m pip install -q --upgrade pip || exit 1
  fi
  "$venv/bin/python" -c "import atheris" 2>/dev/null || "$venv/bin/python" -m pip install -q "atheris==$ATHERIS_VERSION" || exit 1
  # The interpreter is not instrumented: the sanitizer and fuzzer runtimes are
  # preloaded (asan_with_fuzzer.so, see fuzz/CMakeLists.txt), with libstdc++ so
  # that ASan's interceptor of C++ throws finds it when it starts. Python
  # objects come from malloc, so ASan and LeakSanitizer see them: a reference
  # the module never drops shows as a leak. The module is at the top of the tree.
  LIBSTDCXX="$(readlink -f "$(gcc -print-file-name=libstdc++.so)")"
  PYTHON_ENV=(env "LD_PRELOAD=$BUILD/asan_with_fuzzer.so $LIBSTDCXX" PYTHONMALLOC=malloc
              "PYTHONPATH=$BUILD:$ROOT/fuzz" PYTHONDONTWRITEBYTECODE=1)
fi

# clang-14's runtime misreads glibc's table of dynamic TLS blocks now and then
# (a block "at 0x81a-0x280000191c"), and LeakSanitizer's tracer faults scanning
# it: in about one leak check in thirty under the interpreter. Not tracking
# __tls_get_addr leaves those blocks out of the roots; static TLS, stacks and
# globals are still scanned, and no velq allocation lives in dynamic TLS.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1:intercept_tls_get_addr=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [[ -z "${ASAN_SYMBOLIZER_PATH:-}" && -x /usr/lib/llvm-14/bin/llvm-symbolizer ]]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

# With the shared corpus beside the repository, pruned copies of its files (and
# their compiled documents) join the committed seeds, which are made from the
# project's own samples (tests/data): written here on every run, never committed.
corpus_seeds="$BUILD/corpus-seeds"
rm -rf "$corpus_seeds"
if [[ -d "$SHARED/corpus" && -x "$BUILD/make_seeds" ]]; then
  mkdir -p "$corpus_seeds/decode" "$corpus_seeds/json"
  "$BUILD/make_seeds" "$SHARED/corpus" "$corpus_seeds/decode" "$corpus_seeds/json" >/dev/null 2>&1 ||
    rm -rf "$corpus_seeds"
fi

# Seeds, extra options and the longest input, per target. The decoder's cap
# keeps legitimate amplification (an array item of type Null takes no bytes)
# within the memory limit.
seed_dirs() {
  case "$1" in
    decode | loads)
      echo "$ROOT/fuzz/seeds/decode"
      [[ -d "$corpus_seeds/decode" ]] && echo "$corpus_seeds/decode" ;;
    compile | roundtrip | dumps)
      echo "$ROOT/fuzz/seeds/json"
      [[ -d "$corpus_seeds/json" ]] && echo "$corpus_seeds/json"
      [[ -d "$SHARED/conformance/json" ]] && echo "$SHARED/conformance/json" ;;
  esac
  return 0
}
options() {
  case "$1" in
    decode | loads) echo "-dict=$ROOT/fuzz/velq.dict -max_len=2048" ;;
    emit) echo "-max_len=4096" ;;
    *) echo "-dict=$ROOT/fuzz/json.dict -max_len=16384" ;;
  esac
}

# The interpreter, atheris and ASan's quarantine of freed Python objects take
# more room than a C++ target.
rss_limit() { if is_python "$1"; then echo 4096; else echo 2560; fi; }

# Should LeakSanitizer's own machinery still fail under the interpreter (its
# tracer thread catches a signal and it reports "LeakSanitizer has encountered
# a fatal error"), that says nothing about velq, so such a run is repeated once.
# The report lands in the target's own leak check, or in the step's log when
# libFuzzer's leak detection ran into it.
lsan_failed_in_itself() {
  grep -qs "LeakSanitizer has encountered a fatal error" "$BUILD/$1-leak-check.log" "$BUILD/$1-$2.log"
}

replay() {
  env VELQ_FUZZ_LEAK_CHECK_EVERY=1 VELQ_FUZZ_LEAK_REPORT="$BUILD/$target-leak-check.log" "${binary[@]}" \
    -rss_limit_mb="$(rss_limit "$target")" "${saved[@]}" >"$BUILD/$target-replay.log" 2>&1
}

fuzz() {
  # shellcheck disable=SC2046
  VELQ_FUZZ_LEAK_REPORT="$BUILD/$target-leak-check.log" \
    "${binary[@]}" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb="$(rss_limit "$target")" \
    -print_final_stats=1 ${VELQ_FUZZ_SEED:+-seed="$VELQ_FUZZ_SEED"} $(options "$target") -artifact_prefix="$artifacts" \
    "$work" "${seeds[@]}" >"$log" 2>&1
}

# Runs one step ("replay" or "fuzz") again when it failed in LeakSanitizer itself.
run_step() {
  rm -f "$BUILD/$target-leak-check.log"
  "$1" && return 0
  lsan_failed_in_itself "$target" "$1" || return 1
  echo "== $target: LeakSanitizer failed in itself (no finding); running the $1 step again"
  rm -f "$BUILD/$target-leak-check.log"
  "$1"
}

for target in "${TARGETS[@]}"; do
  if [[ "$target" =~ ^(compile|roundtrip|dumps)$ && ! -d "$SHARED/conformance/json" ]]; then
    echo "seeds: no shared conformance files (../shared/conformance or \$VELQ_SHARED_DIR/conformance), fuzz/seeds/json only"
    break
  fi
done

failed=()
summary=()
for target in "${TARGETS[@]}"; do
  if is_python "$target"; then
    binary=("${PYTHON_ENV[@]}" "$BUILD/venv/bin/python" "$ROOT/fuzz/${target}_fuzzer.py")
  else
    binary=("$BUILD/${target}_fuzzer")
    [[ -x "${binary[0]}" ]] || { echo "unknown target: $target" >&2; exit 2; }
  fi
  regressions="$ROOT/fuzz/regressions/$target"

  mapfile -t saved < <(find "$regressions" -type f ! -name '*.md' 2>/dev/null | sort)
  if [[ ${#saved[@]} -gt 0 ]]; then
    echo "== $target: replaying ${#saved[@]} regression inputs"
    if ! run_step replay; then
      tail -n 40 "$BUILD/$target-replay.log"
      if [[ -s "$BUILD/$target-leak-check.log" ]]; then
        echo "-- the last leak check said:"
        tail -n 20 "$BUILD/$target-leak-check.log"
      fi
      failed+=("$target (regression replay)")
      continue
    fi
  fi

  work="$BUILD/corpus/$target"
  artifacts="$BUILD/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  mapfile -t seeds < <(seed_dirs "$target")
  [[ -d "$regressions" ]] && seeds+=("$regressions")
  log="$BUILD/$target-fuzz.log"
  echo "== $target: fuzzing for ${SECONDS_PER_TARGET}s"
  run_step fuzz
  status=$?
  final="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | tr -s '[:space:]' ' ')"
  runs="$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')"
  summary+=("$target: ${SECONDS_PER_TARGET}s, ${runs:-?} executions, ${final:-no final stats}")
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$log"
    if [[ -s "$BUILD/$target-leak-check.log" ]]; then
      echo "-- the last leak check said:"
      tail -n 20 "$BUILD/$target-leak-check.log"
    fi
    echo "finding saved under $artifacts: copy it into fuzz/regressions/$target/ once understood"
    failed+=("$target")
  fi
done

echo
printf '%s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "fuzzing: no findings"
