#!/usr/bin/env bash
# Prints the CPython interpreter of one version that the build, the tests, the
# fuzzers and the benchmarks use: $PYTHON312 (PYTHON313 for 3.13) when it is
# set, else the newest installation of that version under pyenv, else
# python3.12 (python3.13) on the PATH. Prints nothing and exits 1 when there is
# none.
#   tools/find_python.sh [VERSION]      default: 3.12
set -uo pipefail

version="${1:-3.12}"
variable="PYTHON${version//./}"
if [[ -n "${!variable:-}" ]]; then
  echo "${!variable}"
  exit 0
fi
pyenv_root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
# No pipe ends early here: under pipefail a writer killed by SIGPIPE would fail the lookup.
found="$(ls -d "$pyenv_root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -V | tail -n 1)"
[[ -n "$found" ]] || found="$(command -v "python$version")"
[[ -n "$found" ]] || exit 1
echo "$found"
