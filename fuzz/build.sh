#!/usr/bin/env bash
# Builds the three libFuzzer targets (AddressSanitizer + UndefinedBehaviorSanitizer)
# and the seed generator with clang. The core's objects are position
# independent, so that build_python.sh links the same ones into the module.
#   fuzz/build.sh [BUILD_DIR]      default: build/fuzz
# Needs Debian's clang-14 and libclang-rt-14-dev (CXX overrides the compiler).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build/fuzz}"
CXX="${CXX:-clang++-14}"

command -v "$CXX" >/dev/null || { echo "build.sh: $CXX not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }

SANITIZE=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
CXXFLAGS=(-std=c++20 -g -O1 -fPIC "${SANITIZE[@]}" -I"$ROOT/src" -I"$ROOT/fuzz")
CORE=(structure error format utf8 encode decode json compile decompile file)

mkdir -p "$BUILD/obj"
# Objects built with other flags (or another compiler) are rebuilt.
stamp="$CXX ${CXXFLAGS[*]}"
if [[ "$(cat "$BUILD/obj/flags" 2>/dev/null)" != "$stamp" ]]; then
  rm -f "$BUILD"/obj/*.o
  echo "$stamp" >"$BUILD/obj/flags"
fi

# Rebuilds an object when its source or any header is newer.
newest_header="$(ls -t "$ROOT"/src/*.h "$ROOT"/fuzz/*.h | sed -n 1p)"
compile() {  # compile SOURCE OBJECT EXTRA_FLAGS...
  local source="$1" object="$2"
  shift 2
  if [[ ! -f "$object" || "$source" -nt "$object" || "$newest_header" -nt "$object" ]]; then
    echo "  CXX $(basename "$source")"
    "$CXX" "${CXXFLAGS[@]}" "$@" -c "$source" -o "$object"
  fi
}

echo "building fuzzers in $BUILD"
objects=()
for module in "${CORE[@]}"; do
  compile "$ROOT/src/$module.cpp" "$BUILD/obj/$module.o" -fsanitize=fuzzer-no-link
  objects+=("$BUILD/obj/$module.o")
done
# The core's objects, for the Python targets' module (build_python.sh).
printf '%s\n' "${objects[@]}" >"$BUILD/obj/core-objects"

for target in decode compile roundtrip; do
  compile "$ROOT/fuzz/${target}_fuzzer.cpp" "$BUILD/obj/${target}_fuzzer.o" -fsanitize=fuzzer-no-link
  "$CXX" "${SANITIZE[@]}" -fsanitize=fuzzer "$BUILD/obj/${target}_fuzzer.o" "${objects[@]}" \
    -o "$BUILD/${target}_fuzzer"
done

compile "$ROOT/fuzz/make_seeds.cpp" "$BUILD/obj/make_seeds.o"
"$CXX" "${SANITIZE[@]}" "$BUILD/obj/make_seeds.o" "${objects[@]}" -o "$BUILD/make_seeds"
echo "built: decode_fuzzer compile_fuzzer roundtrip_fuzzer make_seeds"
