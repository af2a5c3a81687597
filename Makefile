# make setup : install system packages, create .venv (CPython 3.12), build and install velq, run the demo
# make test  : build and run the C++ tests (plain and sanitized), the Python tests (on CPython 3.12
#              and 3.13, on 3.14 and 3.15 in a Debian sid chroot, and sanitized on 3.12), mypy, the
#              wheels in fresh venvs (aarch64 under qemu), and each fuzzer (C++ and Python) for a minute
# make wheel : manylinux wheels for CPython 3.12 to 3.15, x86_64 and aarch64, in build/wheelhouse
# make bench : benchmarks against the peers (make bench-quick: under two minutes)

SHELL := /bin/bash
VENV  := .venv
PY    := $(VENV)/bin/python
JOBS  ?= $(shell nproc)

# CPython 3.12: a pyenv installation if there is one, else python3.12 on the PATH.
PYTHON312 ?= $(shell { ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1; command -v python3.12; } | head -n 1)
# CPython 3.13, found the same way; the Python suite runs on it too, in its own venv.
PYTHON313 ?= $(shell { ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; command -v python3.13; } | head -n 1)
VENV313 := build/venv-3.13
PY313   := $(VENV313)/bin/python
WHEELHOUSE := build/wheelhouse

APT_PACKAGES := build-essential cmake libboost1.81-dev libgtest-dev clang-14 libclang-rt-14-dev llvm-14 \
                debootstrap qemu-user-static binfmt-support

.PHONY: setup deps venv install demo test test-cpp test-asan test-python test-python-3.12 test-python-3.13 test-python-3.14 test-python-3.15 test-types wheel test-wheel test-sdist test-asan-python test-fuzz test-fuzz-python bench bench-quick bench-callgrind clean

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

install: venv
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.VELQ_BUILD_TREE_ROAD=ON .

demo:
	$(PY) examples/demo.py

test: test-cpp test-asan test-python test-types test-wheel test-sdist test-asan-python test-fuzz test-fuzz-python

test-cpp:
	cmake -S . -B build/cpp -DVELQ_BUILD_TESTS=ON -DVELQ_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build/asan -DVELQ_BUILD_TESTS=ON -DVELQ_BUILD_MODULE=OFF -DVELQ_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)

test-python: test-python-3.12 test-python-3.13 test-python-3.14 test-python-3.15

test-python-3.12: install
	$(PY) -m pytest -q

$(PY313):
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 not found: install it (pyenv install 3.13) or set PYTHON313=/path/to/python3.13"; exit 1; }
	"$(PYTHON313)" -m venv $(VENV313)
	$(PY313) -m pip install -q --upgrade pip

test-python-3.13: $(PY313)
	$(PY313) -m pip install -q -r requirements-dev.txt
	$(PY313) -m pip install -q --no-build-isolation -Ccmake.define.VELQ_BUILD_TREE_ROAD=ON .
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
# fuzz/build_python.sh makes their venv (atheris from PyPI) under build/pyfuzz.
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
