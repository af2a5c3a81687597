#!/usr/bin/env bash
# Writes a CMake toolchain for the zig C++ compiler (ziglang from PyPI), for
# wheels that run on glibc 2.17 and newer:
#
#   tools/zig_toolchain.sh ZIG ARCH DIR     ARCH: x86_64 or aarch64
#
# DIR gets c++, ar and ranlib wrappers and toolchain.cmake. The C++ runtime
# (libc++) is linked in statically, so the wheels need only glibc.
set -euo pipefail
zig=$1 arch=$2 dir=$3
target="$arch-linux-gnu.2.17"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
zig="$(cd "$(dirname "$zig")" && pwd)/$(basename "$zig")"
cache="$(dirname "$dir")/cache"
for tool in c++ ar ranlib; do
  case $tool in
    c++) command="c++ -target $target" ;;
    *) command=$tool ;;
  esac
  cat >"$dir/$tool" <<WRAPPER
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR="$cache" ZIG_LOCAL_CACHE_DIR="$cache" exec "$zig" $command "\$@"
WRAPPER
  chmod +x "$dir/$tool"
done
{
  # aarch64 is a cross build (FindPython then leaves the module's name without
  # the interpreter's tag: tools/build_wheels.sh adds it); x86_64 is not.
  if [ "$arch" != "$(uname -m)" ]; then
    echo "set(CMAKE_SYSTEM_NAME Linux)"
    echo "set(CMAKE_SYSTEM_PROCESSOR $arch)"
  fi
  echo "set(CMAKE_CXX_COMPILER \"$dir/c++\")"
  echo "set(CMAKE_AR \"$dir/ar\" CACHE FILEPATH \"\")"
  echo "set(CMAKE_RANLIB \"$dir/ranlib\" CACHE FILEPATH \"\")"
  # clang's inliner stops short of GCC's on the compile loops: without this,
  # the type test of each list item stays a call, and emit is slower by a
  # further tenth.
  echo "set(CMAKE_CXX_FLAGS_INIT \"-mllvm -inline-threshold=4000 -mllvm -inlinehint-threshold=4000\")"
  # Header-only Boost, found where the building machine's packages put it.
  echo "list(APPEND CMAKE_PREFIX_PATH /usr/lib/$(gcc -print-multiarch)/cmake /usr/lib/cmake)"
  # Stripped by the linker: the build machine's strip may not know the target.
  echo "set(CMAKE_MODULE_LINKER_FLAGS_INIT -s)"
} >"$dir/toolchain.cmake"
if [ "$arch" = x86_64 ]; then
  # zig's runtime leaves __builtin_cpu_supports unanswered (every feature reads
  # as absent), which would keep the AVX2 paths of utf8.cpp switched off. GCC's
  # own CPU detection (cpuinfo.o of libgcc, self-contained: no glibc symbols)
  # takes its place in the link.
  (cd "$dir" && ar x "$(gcc -print-libgcc-file-name)" cpuinfo.o)
  echo "set(CMAKE_MODULE_LINKER_FLAGS_INIT \"-s $dir/cpuinfo.o\")" >>"$dir/toolchain.cmake"
fi
