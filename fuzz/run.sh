#!/usr/bin/env bash
# Builds the fuzzers, replays every saved regression input, then fuzzes each
# target for a fixed time over its seeds and regressions. Exits non-zero on
# any finding (crash, sanitizer report, leak, timeout, out-of-memory).
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     default: 60, all three
# Environment: VELQ_FUZZ_BUILD (default build/fuzz), VELQ_SHARED_DIR (default ../shared).
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VELQ_FUZZ_BUILD:-$ROOT/build/fuzz}"
SHARED="${VELQ_SHARED_DIR:-$ROOT/../shared}"
SECONDS_PER_TARGET="${1:-60}"
shift || true
TARGETS=("$@")
[[ ${#TARGETS[@]} -gt 0 ]] || TARGETS=(decode compile roundtrip)

"$ROOT/fuzz/build.sh" "$BUILD" || exit 1

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [[ -z "${ASAN_SYMBOLIZER_PATH:-}" && -x /usr/lib/llvm-14/bin/llvm-symbolizer ]]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

# Seeds, extra options and the longest input, per target. The decoder's cap
# keeps legitimate amplification (an array item of type Null takes no bytes)
# within the memory limit.
seed_dirs() {
  case "$1" in
    decode) echo "$ROOT/fuzz/seeds/decode" ;;
    compile | roundtrip)
      echo "$ROOT/fuzz/seeds/json"
      [[ -d "$SHARED/conformance/json" ]] && echo "$SHARED/conformance/json" ;;
  esac
}
options() {
  case "$1" in
    decode) echo "-dict=$ROOT/fuzz/velq.dict -max_len=2048" ;;
    *) echo "-dict=$ROOT/fuzz/json.dict -max_len=16384" ;;
  esac
}

failed=()
summary=()
for target in "${TARGETS[@]}"; do
  binary="$BUILD/${target}_fuzzer"
  regressions="$ROOT/fuzz/regressions/$target"
  [[ -x "$binary" ]] || { echo "unknown target: $target" >&2; exit 2; }

  mapfile -t saved < <(find "$regressions" -type f ! -name '*.md' 2>/dev/null | sort)
  if [[ ${#saved[@]} -gt 0 ]]; then
    echo "== $target: replaying ${#saved[@]} regression inputs"
    if ! "$binary" -rss_limit_mb=2560 "${saved[@]}" >"$BUILD/$target-replay.log" 2>&1; then
      tail -n 40 "$BUILD/$target-replay.log"
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
  # shellcheck disable=SC2046
  "$binary" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1 \
    $(options "$target") -artifact_prefix="$artifacts" "$work" "${seeds[@]}" >"$log" 2>&1
  status=$?
  final="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | tr -s '[:space:]' ' ')"
  runs="$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')"
  summary+=("$target: ${SECONDS_PER_TARGET}s, ${runs:-?} executions, ${final:-no final stats}")
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$log"
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
