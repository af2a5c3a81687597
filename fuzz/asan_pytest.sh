#!/usr/bin/env bash
# Runs the whole Python test suite against a build of the module with
# AddressSanitizer and UndefinedBehaviorSanitizer (GCC's runtimes). The
# interpreter itself is not instrumented, so the ASan runtime is preloaded.
#   fuzz/asan_pytest.sh [PYTEST_ARGS...]
# The virtual environment, the build and the sanitizer logs live under
# build/asan-python, apart from the regular ones. PYTHON312 chooses the
# interpreter (see tools/find_python.sh); VELQ_ASAN_FULL_STACKS=1 unwinds
# every allocation stack fully (several times slower) so that leaks of Python
# objects are attributed too.
#
# Leak detection: at exit the interpreter still holds memory that it never
# frees (interned strings, static types, caches), so LeakSanitizer always has
# something to say. Every report is kept in the logs, and the run fails on a
# leak whose allocation stack passes through the module (or on any other
# sanitizer report), not on the interpreter's own.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
WORK="$ROOT/build/asan-python"
VENV="$WORK/venv"
LOGS="$WORK/logs"
cd "$ROOT"

if [[ ! -x "$VENV/bin/python" ]]; then
  python312="$(bash "$ROOT/tools/find_python.sh" 3.12)"
  [[ -n "$python312" ]] || { echo "asan_pytest.sh: CPython 3.12 not found (set PYTHON312)" >&2; exit 1; }
  "$python312" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
fi
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt

# Sanitized module, optimised enough to keep the suite's run time reasonable.
"$VENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
  -C build-dir="$WORK/cmake" \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VELQ_SANITIZE=ON \
  .

# libstdc++ is preloaded with the runtime: the interpreter does not link it, and
# ASan's C++ exception interceptor must find it when it starts, or the first
# exception thrown in the module stops the process.
LIBASAN="$(gcc -print-file-name=libasan.so)"
LIBSTDCXX="$(readlink -f "$(gcc -print-file-name=libstdc++.so)")"
[[ -f "$LIBASAN" && -f "$LIBSTDCXX" ]] || { echo "asan_pytest.sh: libasan.so or libstdc++.so not found" >&2; exit 1; }

rm -rf "$LOGS"
mkdir -p "$LOGS"
unwind=1
[[ "${VELQ_ASAN_FULL_STACKS:-0}" == 1 ]] && unwind=0
export LD_PRELOAD="$LIBASAN $LIBSTDCXX"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:exitcode=99:log_path=$LOGS/asan:fast_unwind_on_malloc=$unwind:malloc_context_size=40:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan"
export VELQ_UNDER_ASAN=1

ASAN_OPTIONS=detect_leaks=0 "$VENV/bin/python" -c \
  "import velq; assert velq.__file__.startswith('$VENV/'), velq.__file__"

# Records pytest's own status: at exit LeakSanitizer replaces the exit code.
status_file="$LOGS/pytest-status"
args=("$@")
[[ ${#args[@]} -gt 0 ]] || args=("$ROOT/tests/python")
set +e
"$VENV/bin/python" - "$status_file" "${args[@]}" <<'EOF'
import sys
import pytest

status_file, args = sys.argv[1], sys.argv[2:]
# The memory-growth tests read the resident set size, which ASan's quarantine of
# freed blocks inflates by design; here LeakSanitizer takes their place.
deselect = ["--deselect", "tests/python/test_resources.py::test_memory_stays_flat"]
status = int(pytest.main(["-q", "-p", "no:cacheprovider", *deselect, *args]))
with open(status_file, "w") as out:
    out.write(str(status))
sys.exit(status)
EOF
set -e
unset LD_PRELOAD

pytest_status="$(cat "$status_file" 2>/dev/null || echo "missing")"
sanitizers=0
"$VENV/bin/python" - "$LOGS" "$ROOT" <<'EOF' || sanitizers=$?
import pathlib
import re
import sys

logs, root = pathlib.Path(sys.argv[1]), sys.argv[2]
ours = re.compile(r"velq\.cpython|velq::|" + re.escape(root + "/src/"))
findings, interpreter_leaks, foreign = [], 0, []
for log in sorted(logs.glob("[au]*san.*")):
    text = log.read_text(errors="replace")
    for report in re.split(r"\n(?===\d+==ERROR: )", text):
        if "ERROR: LeakSanitizer" not in report:
            if re.search(r"ERROR:|runtime error:|CHECK failed", report):
                # Tools that tests start (sh, dd, ...) inherit the preloaded
                # runtime; their reports say nothing about the module.
                if re.search(r"python|velq", report):
                    findings.append(f"{log.name}:\n{report}")
                else:
                    foreign.append(log.name)
            continue
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", report):
            if not block.startswith(("Direct", "Indirect")):
                continue
            if ours.search(block):
                findings.append(f"{log.name}: leak through the module:\n{block}")
            else:
                interpreter_leaks += 1
print(f"sanitizers: {len(findings)} findings; {interpreter_leaks} leak records of the interpreter's own ignored")
if foreign:
    print(f"sanitizers: ignored reports from other programs started by tests: {', '.join(foreign)}")
for finding in findings:
    print(finding[:6000])
sys.exit(1 if findings else 0)
EOF

[[ "$pytest_status" == 0 ]] || { echo "asan_pytest.sh: pytest status $pytest_status"; exit 1; }
exit "$sanitizers"
