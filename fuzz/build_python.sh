#!/usr/bin/env bash
# Builds what the Python fuzz targets (loads, dumps, emit) need:
#   - a virtual environment of CPython 3.12 with atheris (build/pyfuzz/venv);
#   - the velq module compiled with clang, libFuzzer's coverage
#     instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer, from
#     the same core objects as the C++ fuzzers (build/pyfuzz/module);
#   - one runtime library to preload into the interpreter, which is not
#     instrumented: ASan (with UBSan) and libFuzzer linked together
#     (build/pyfuzz/asan_with_fuzzer.so). atheris's wheel carries a libFuzzer
#     of its own but no sanitizer runtime; when it finds LLVMFuzzerRunDriver
#     already loaded it uses that one, so the module's coverage counters and
#     the fuzzing loop meet in the same library.
#   fuzz/build_python.sh [BUILD_DIR]     default: build/pyfuzz
# PYTHON312 chooses the interpreter; CXX the compiler (default clang++-14).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build/pyfuzz}"
CXX="${CXX:-clang++-14}"
ATHERIS_VERSION=3.1.0

command -v "$CXX" >/dev/null || { echo "build_python.sh: $CXX not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }

# shellcheck source=fuzz/find_python312.sh
source "$ROOT/fuzz/find_python312.sh"

# The C++ fuzzers' build compiles the core with the same flags (position independent).
"$ROOT/fuzz/build.sh" "$ROOT/build/fuzz" >/dev/null
mapfile -t CORE_OBJECTS <"$ROOT/build/fuzz/obj/core-objects"

VENV="$BUILD/venv"
if [[ ! -x "$VENV/bin/python" ]]; then
  python312="$(find_python312)"
  [[ -n "$python312" ]] || { echo "build_python.sh: CPython 3.12 not found (set PYTHON312)" >&2; exit 1; }
  "$python312" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
fi
"$VENV/bin/python" -c "import atheris" 2>/dev/null || "$VENV/bin/python" -m pip install -q "atheris==$ATHERIS_VERSION"

# The sanitizer and fuzzer runtimes of the compiler, as one shared library.
# ASan's preinit object cannot go into a shared library: preloading does its job.
RUNTIME_DIR="$("$CXX" -print-runtime-dir)"
RUNTIME="$BUILD/asan_with_fuzzer.so"
mkdir -p "$BUILD/module" "$BUILD/obj"
if [[ ! -f "$RUNTIME" ]]; then
  cp "$RUNTIME_DIR/libclang_rt.asan-x86_64.a" "$BUILD/obj/asan.a"
  ar d "$BUILD/obj/asan.a" asan_preinit.cpp.o
  "$CXX" -shared -o "$RUNTIME" -Wl,--whole-archive "$BUILD/obj/asan.a" \
    "$RUNTIME_DIR/libclang_rt.asan_cxx-x86_64.a" "$RUNTIME_DIR/libclang_rt.fuzzer_no_main-x86_64.a" \
    -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
fi

include="$("$VENV/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['include'])")"
suffix="$("$VENV/bin/python" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")"
SANITIZE=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
object="$BUILD/obj/python.o"
module="$BUILD/module/velq$suffix"
if [[ ! -f "$object" || "$ROOT/src/python.cpp" -nt "$object" || -n "$(find "$ROOT/src" -name '*.h' -newer "$object")" ]]; then
  echo "  CXX python.cpp (module for the Python fuzz targets)"
  "$CXX" -std=c++20 -g -O1 -fPIC "${SANITIZE[@]}" -fsanitize=fuzzer-no-link -I"$ROOT/src" -I"$include" \
    -c "$ROOT/src/python.cpp" -o "$object"
fi
# The runtimes are left out: the preloaded library provides them.
"$CXX" -shared "${SANITIZE[@]}" -fsanitize=fuzzer-no-link "$object" "${CORE_OBJECTS[@]}" -o "$module"
echo "built: $module, $RUNTIME"
