#!/usr/bin/env bash
# Installs each wheel of build/wheelhouse into a fresh venv of its own
# interpreter and runs tests/wheel_smoke.py there:
#
#   tools/test_wheels.sh            (PYTHON312 and PYTHON313: the host's interpreters)
#
# x86_64: cp312 and cp313 on the host (both the portable and the GCC wheel),
# cp314 and cp315 in the amd64 sid chroot. aarch64: in the arm64 sid chroot,
# under qemu: the smoke test for each interpreter it has (3.13 to 3.15; no
# Debian suite carries 3.12) and the Python suite on 3.14.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
WHEELHOUSE=build/wheelhouse
: "${PYTHON312:?set PYTHON312 to a CPython 3.12}" "${PYTHON313:?set PYTHON313 to a CPython 3.13}"
ls "$WHEELHOUSE"/velq-*.whl >/dev/null || { echo "no wheels in $WHEELHOUSE: run make wheel"; exit 1; }
rm -rf build/wheel-venv
mkdir -p build/wheel-venv

# `smoke PYTHON WHEEL`, run on the host or in a chroot.
smoke='python=$1 wheel=$2
  venv=build/wheel-venv/$(basename "$wheel" .whl)
  "$python" -m venv "$venv" && "$venv/bin/pip" install -q --no-index "$wheel" &&
  (python="$PWD/$venv/bin/python" && cd build && "$python" ../tests/wheel_smoke.py)'

started=$SECONDS
for python in "$PYTHON312" "$PYTHON313"; do
  version=$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
  for wheel in "$WHEELHOUSE"/velq-*-cp$version-cp$version-*x86_64.whl; do
    bash -c "$smoke" smoke "$python" "$wheel"
  done
done
for version in 3.14 3.15; do
  bash tools/sid_chroot.sh run amd64 bash -c "$smoke" smoke "python$version" \
    "$(ls "$WHEELHOUSE"/velq-*-cp${version/./}-cp${version/./}-*x86_64.whl)"
done
x86=$((SECONDS - started))

# Under emulation, pip takes a minute and a half just to install itself into a
# venv; so the 3.13 and 3.15 venvs are made without it by their interpreter,
# and the host's pip installs the wheel into them for that interpreter and
# platform. The 3.14 venv gets its own pip, which installs the wheel and the
# suite's tools the ordinary way.
for version in 3.13 3.15; do
  wheel=$(ls "$WHEELHOUSE"/velq-*-cp${version/./}-cp${version/./}-*aarch64.whl)
  venv=build/wheel-venv/$(basename "$wheel" .whl)
  bash tools/sid_chroot.sh run arm64 "python$version" -m venv --without-pip "$venv"
  build/wheel-tools/bin/pip install -q --no-deps --no-index --only-binary=:all: --implementation cp \
    --python-version "$version" --platform manylinux_2_17_aarch64 --target "$venv/lib/python$version/site-packages" "$wheel"
  bash tools/sid_chroot.sh run arm64 bash -c "cd build && $ROOT/$venv/bin/python ../tests/wheel_smoke.py"
done
echo "test_wheels: no aarch64 CPython 3.12 to run its wheel on (Debian's suites carry 3.13 and newer)"

# The 3.14 wheel: the smoke test, then the suite against it (no tree-road
# module there, so those comparisons skip). Left to the x86_64 runs: the folder
# example's orchestration, which needs dask, and the tests that bound the
# address space with RLIMIT_AS, which qemu-user does not apply to the program
# it runs (unbounded, their huge inputs take gigabytes), and the timer sweeps,
# whose signals land where the host's timing puts them (under emulation each
# takes minutes).
bash tools/sid_chroot.sh run arm64 bash -c '
  set -e
  wheel=$(ls build/wheelhouse/velq-*-cp314-cp314-*aarch64.whl)
  venv=build/wheel-venv/$(basename "$wheel" .whl)
  python3.14 -m venv $venv
  $venv/bin/pip install -q --no-index "$wheel"
  (python=$PWD/$venv/bin/python && cd build && $python ../tests/wheel_smoke.py)
  $venv/bin/pip install -q pytest hypothesis
  timeout 1200 $venv/bin/python -m pytest -q -p no:cacheprovider --ignore=tests/python/test_convert_folder.py \
    -k "not memory_limit and not reserve_nothing_large and not sweep"'
echo "test_wheels: x86_64 $x86 s, aarch64 (under qemu) $((SECONDS - started - x86)) s"
