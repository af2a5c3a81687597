#!/usr/bin/env bash
# The sdist builds and works where no wheel serves: made on the host, then
# installed with plain `pip install velq-*.tar.gz` into a fresh CPython 3.15 venv
# of the sid chroot, whose only build requirements are Debian's g++, cmake and
# Boost headers (pip brings scikit-build-core); the smoke test runs there.
set -euo pipefail
cd "$(dirname "$0")/.."
: "${PYTHON312:?set PYTHON312 to a CPython 3.12}"
started=$SECONDS
rm -rf build/sdist build/sdist-venv
"$PYTHON312" -m venv build/sdist-tools/venv
build/sdist-tools/venv/bin/pip install -q build
build/sdist-tools/venv/bin/python -m build -q --sdist -o build/sdist . >/dev/null
bash tools/sid_chroot.sh run amd64 bash -c '
  set -e
  export CMAKE_BUILD_PARALLEL_LEVEL=2
  python3.15 -m venv build/sdist-venv
  build/sdist-venv/bin/pip install -q build/sdist/velq-*.tar.gz
  cd build && VELQ_SMOKE_SOURCE_BUILD=1 sdist-venv/bin/python ../tests/wheel_smoke.py'
echo "test_sdist: $(basename build/sdist/velq-*.tar.gz) built and installed from source in $((SECONDS - started)) s"
