# make setup : install system packages, create .venv (CPython 3.12), build and install velq, run the demo
# make check : the edit loop: the C++ tests and the Python suite on CPython 3.12, from a reused
#              build tree (about half a minute after an edit of one source file)
# make test  : build and run the C++ tests (plain and sanitized), the Python tests (on CPython 3.12
#              and 3.13, on 3.14 and 3.15 in a Debian sid chroot, and sanitized on 3.12), mypy, the
#              wheels in fresh venvs (aarch64 under qemu), and each fuzzer (C++ and Python) for a minute
# make wheel : manylinux wheels for CPython 3.12 to 3.15, x86_64 and aarch64, in build/wheelhouse
# make bench : benchmarks against the peers (make bench-quick: under two minutes)

SHELL := /bin/bash
VENV  := .venv
PY    := $(VENV)/bin/python
JOBS  ?= $(shell nproc)

# CPython 3.12: a pyenv installation if there is one, else python3.12 on the PATH
# (tools/find_python.sh, which the fuzz and benchmark scripts use too).
PYTHON312 ?= $(shell bash tools/find_python.sh 3.12)
# CPython 3.13, found the same way; the Python suite runs on it too, in its own venv.
PYTHON313 ?= $(shell bash tools/find_python.sh 3.13)
VENV313 := build/venv-3.13
PY313   := $(VENV313)/bin/python
WHEELHOUSE := build/wheelhouse

APT_PACKAGES := build-essential cmake libboost1.81-dev libfast-float-dev libgtest-dev clang-14 libclang-rt-14-dev llvm-14 \
                debootstrap qemu-user-static binfmt-support

.PHONY: setup deps venv install demo check test test-cpp test-asan test-python test-python-3.12 test-python-3.13 test-python-3.14 test-python-3.15 test-types wheel test-wheel test-sdist test-asan-python test-fuzz test-fuzz-python bench bench-quick bench-callgrind clean

setup: deps install demo

deps:
	@if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	 missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	 if [ -n "$$missing" ]; then \
	   $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q $$missing; \
	 fi

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it (pyenv install 3.12) or set PYTHON312=/path/to/python3.12"; exit 1; }
	"$(PYTHON312)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)
	$(PY) -m pip install -q -r requirements-dev.txt

# The module of .venv and the C++ tests come from one build tree, reused from
# run to run, so that a rebuild compiles only what changed.
DEV_BUILD := build/dev
install: venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install -q --no-build-isolation \
	  -Cbuild-dir=$(DEV_BUILD) -Ccmake.define.VELQ_BUILD_TESTS=ON .

demo:
	$(PY) examples/demo.py

# The edit loop: the C++ tests and the Python suite on CPython 3.12.
check: test-cpp test-python-3.12

test: test-cpp test-asan test-python test-types test-wheel test-sdist test-asan-python test-fuzz test-fuzz-python

test-cpp: install
	ctest --test-dir $(DEV_BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake --preset asan
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)

test-python: test-python-3.12 test-python-3.13 test-python-3.14 test-python-3.15

test-python-3.12: install
	$(PY) -m pytest -q
	@echo "The JSON tests again on the scalar road of the text scan:"
	VELQ_SCAN=scalar $(PY) -m pytest -q tests/python/test_dumps.py
	@if $(PY) -c "import sys, velq; sys.exit(velq._scan_road != 'avx2')"; then \
	  echo "And on the road of 64-byte blocks, which the AVX2 road takes for texts of 512 bytes or more:"; \
	  echo "VELQ_SCAN=blocks $(PY) -m pytest -q tests/python/test_dumps.py"; \
	  VELQ_SCAN=blocks $(PY) -m pytest -q tests/python/test_dumps.py; fi

$(PY313):
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 not found: install it (pyenv install 3.13) or set PYTHON313=/path/to/python3.13"; exit 1; }
	"$(PYTHON313)" -m venv $(VENV313)
	$(PY313) -m pip install -q --upgrade pip

test-python-3.13: $(PY313)
	$(PY313) -m pip install -q -r requirements-dev.txt
	$(PY313) -m pip install -q --no-build-isolation .
	$(PY313) -m pytest -q

# CPython 3.14 and 3.15 from Debian's development suite, in a chroot that
# tools/sid_chroot.sh makes under build/ (and reuses).
test-python-3.14 test-python-3.15: test-python-%:
	bash tools/test_python_sid.sh $*

test-types: install
	$(PY) -m mypy --strict examples/typed_usage.py

# The whole Python suite against a module built with ASan and UBSan.
test-asan-python: $(PY)
	PYTHON312="$(PYTHON312)" timeout 1800 bash fuzz/asan_pytest.sh

# Each libFuzzer target for a minute, after replaying the saved regressions.
FUZZ_SECONDS ?= 60
# A fixed seed, so that the minute each target gets here is the same from run to
# run (the campaigns of fuzz/README.md explore with fresh seeds).
FUZZ_SEED ?= 1
test-fuzz:
	VELQ_FUZZ_SEED=$(FUZZ_SEED) timeout 900 bash fuzz/run.sh $(FUZZ_SECONDS)

# The atheris targets (loads, dumps, emit) against the module built with
# coverage, ASan and UBSan, each for a minute after replaying their regressions;
# fuzz/run.sh builds them in build/fuzz, with their venv (atheris from PyPI).
test-fuzz-python:
	VELQ_FUZZ_SEED=$(FUZZ_SEED) PYTHON312="$(PYTHON312)" timeout 1200 bash fuzz/run.sh $(FUZZ_SECONDS) loads dumps emit

# The wheels (tools/build_wheels.sh): portable manylinux_2_17 ones for CPython
# 3.12 to 3.15 on x86_64 and aarch64, and the GCC-built manylinux_2_34 ones
# for 3.12 and 3.13 on x86_64, each tag confirmed by `auditwheel show`.
wheel:
	PYTHON312="$(PYTHON312)" PYTHON313="$(PYTHON313)" bash tools/build_wheels.sh

# Each wheel installs into a fresh environment of its interpreter, where all
# five functions work; the aarch64 ones run under qemu (tools/test_wheels.sh).
test-wheel: wheel
	PYTHON312="$(PYTHON312)" PYTHON313="$(PYTHON313)" bash tools/test_wheels.sh

# The sdist, installed from source where no wheel serves (tools/test_sdist.sh).
test-sdist:
	PYTHON312="$(PYTHON312)" bash tools/test_sdist.sh

# Benchmarks against the peers (their own venv in bench/.venv); see bench/README.md.
bench:
	bash bench/run.sh

bench-quick:
	bash bench/run.sh --quick

bench-callgrind:
	bash bench/callgrind.sh

clean:
	rm -rf build $(VENV)
