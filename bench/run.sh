#!/usr/bin/env bash
# The whole benchmark in one command:
#
#   bench/run.sh            full run (about 15 minutes): bench/results/{results.md,results.json,chart.png}
#   bench/run.sh --quick    reduced run (under two minutes once set up): bench/results/quick/
#
# Prepares what the benchmark needs and hands over to bench/run.py (its
# options pass through; bench/run.sh --help lists them): Debian's packages
# (Google Benchmark, simdjson, valgrind, Boost), the benchmark environment
# bench/.venv (CPython 3.12 with the peers of bench/requirements.txt), then
# run.py builds velq from a snapshot of the repository, builds the C++
# benchmarks and runs everything.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VENV=${VELQ_BENCH_VENV:-$BENCH_DIR/.venv}
APT_PACKAGES=(build-essential libboost1.81-dev libbenchmark-dev libsimdjson-dev valgrind)

missing=()
for package in "${APT_PACKAGES[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then sudo=(); else sudo=(sudo); fi
  echo "installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  # The same CPython 3.12 as the development environment.
  python312=$(bash "$BENCH_DIR/../tools/find_python.sh" 3.12 || true)
  [ -n "$python312" ] || { echo "CPython 3.12 not found: set PYTHON312=/path/to/python3.12" >&2; exit 1; }
  echo "creating $VENV from $python312" >&2
  "$python312" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
fi

# Reinstall the peers only when the requirements changed.
stamp=$VENV/.requirements.txt
if ! cmp -s "$BENCH_DIR/requirements.txt" "$stamp"; then
  "$VENV/bin/python" -m pip install -q -r "$BENCH_DIR/requirements.txt"
  cp "$BENCH_DIR/requirements.txt" "$stamp"
fi

exec "$VENV/bin/python" "$BENCH_DIR/run.py" "$@"
