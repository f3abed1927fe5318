# Set-up and checks for the _tavik extension. `make test` and `make demo`
# start from nothing on a fresh machine; later runs reuse what is built.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV       := .venv
VPY        := $(VENV)/bin/python
STAMPS     := build/stamps
CPP_BUILD  := build/cpp
APT_PACKAGES := libeigen3-dev libfmt-dev libgtest-dev
BUILD_REQUIREMENTS := scikit-build-core==0.11.6 pybind11==2.13.6 cmake ninja

SOURCES := $(wildcard extractor/*.hpp extractor/*.cpp python/*.cpp python/*.hpp) CMakeLists.txt pyproject.toml
SOURCES += $(wildcard python/_tavik-stubs/*.pyi)
# The pure-Python package that the wheel carries beside the module.
PACKAGE_FILES := $(wildcard python/tavik/*.py python/tavik/py.typed python/tavik/data/*)
SOURCES += $(PACKAGE_FILES)

# CPython 3.10: python3.10 on PATH if it runs, else the newest 3.10 of pyenv.
PYTHON310 ?= $(shell \
  if python3.10 -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then \
    command -v python3.10; \
  elif command -v pyenv >/dev/null 2>&1; then \
    v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.10(\.[0-9]+)?$$' | sort -V | tail -n 1); \
    [ -n "$$v" ] && echo "$$(pyenv prefix $$v)/bin/python3.10"; \
  fi)

.PHONY: test cpp-test py-test install system-deps bench clean asan asan-build fuzz fuzz-deps

test: cpp-test py-test

# Debian packages of the C++ dependencies; installed when missing and root.
system-deps: $(STAMPS)/system-deps
$(STAMPS)/system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Missing system packages:$$missing (install them with apt-get as root)"; exit 1; \
	  fi; \
	fi
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/venv: pyproject.toml | $(STAMPS)/system-deps
	@if [ -z "$(PYTHON310)" ]; then echo "CPython 3.10 not found (neither python3.10 nor pyenv's)"; exit 1; fi
	@echo "Using $(PYTHON310)"
	[ -x $(VPY) ] || $(PYTHON310) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_REQUIREMENTS)
	@mkdir -p $(STAMPS) && touch $@

# Built without isolation from the venv's build requirements, into a
# persistent build directory, so that a rebuild only compiles what changed.
install: $(STAMPS)/installed
$(STAMPS)/installed: $(STAMPS)/venv $(SOURCES)
	$(VPY) -m pip install --no-build-isolation ".[test]"
	@touch $@

cpp-test: $(STAMPS)/venv
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DTAVIK_BUILD_TESTS=ON -DTAVIK_BUILD_MODULE=OFF >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) --parallel 2
	cd $(CPP_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure --no-tests=error

py-test: $(STAMPS)/installed
	$(VPY) -m pytest

# The module and the C++ tests again, under AddressSanitizer and UBSan, in
# build/asan; pytest then imports that module (PYTHONPATH) with the gcc
# runtime preloaded into the venv's interpreter, and every report is fatal.
# Python's own allocator is bypassed so that every object is checked.
ASAN_BUILD := build/asan
SANITIZER_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
# libstdc++ is preloaded with it: the interpreter does not link it, and the
# runtime's interception of C++ throws must find it already loaded.
SANITIZER_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
SANITIZED_ENV = LD_PRELOAD="$(SANITIZER_RUNTIME)" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(ASAN_BUILD)) TAVIK_SANITIZED=$(abspath $(ASAN_BUILD))

asan-build: $(STAMPS)/installed
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="$(SANITIZER_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZER_FLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="$(SANITIZER_FLAGS)" \
	  -DTAVIK_BUILD_TESTS=ON -DTAVIK_BUILD_MODULE=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR="$$($(VPY) -m pybind11 --cmakedir)" >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j 2
	@so=$$(ls $(ASAN_BUILD)/_tavik*.so) && \
	  readelf -d $$so | grep -q 'NEEDED.*libasan' && nm -D --undefined-only $$so | grep -q __asan_report && \
	  readelf -d $$so | grep -q 'NEEDED.*libubsan' && \
	  $(SANITIZED_ENV) $(VPY) -c 'import os, sys, _tavik; sys.exit(not os.path.samefile(_tavik.__file__, sys.argv[1]))' $$so && \
	  echo "Instrumented module: $$so" || { echo "$$so is not the instrumented module that Python loads"; exit 1; }

asan: asan-build
	cd $(ASAN_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure --no-tests=error
	$(SANITIZED_ENV) $(VPY) -m pytest -p no:cacheprovider

# Fuzzing of the bindings (fuzz/fuzz_bindings.py). libFuzzer's coverage
# hooks are shadowed by those of the gcc sanitizer runtime once it is
# preloaded, so a corpus is first grown with coverage guidance against the
# plain module (FUZZ_SEED_SECONDS), then replayed and mutated for
# FUZZ_SECONDS against the instrumented module under the sanitizers.
FUZZ_SECONDS ?= 60
FUZZ_SEED_SECONDS ?= 30
FUZZ_CORPUS := build/fuzz-corpus
FUZZ_FLAGS = -rss_limit_mb=4096 -timeout=30 -max_len=2048 -print_final_stats=1
# 2.3.0 is the last atheris release with wheels for CPython 3.10.
FUZZ_REQUIREMENTS := atheris==2.3.0
fuzz-deps: $(STAMPS)/fuzz-deps
$(STAMPS)/fuzz-deps: $(STAMPS)/installed
	$(VPY) -m pip install -q $(FUZZ_REQUIREMENTS)
	@touch $@

fuzz: asan-build $(STAMPS)/fuzz-deps
	mkdir -p $(FUZZ_CORPUS)
	$(VPY) fuzz/fuzz_bindings.py $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SEED_SECONDS) $(FUZZ_CORPUS) 2>build/fuzz-seed.log \
	  || { tail -n 60 build/fuzz-seed.log; exit 1; }
	@tail -n 12 build/fuzz-seed.log | grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' || true
	$(SANITIZED_ENV) $(VPY) fuzz/fuzz_bindings.py $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) $(FUZZ_CORPUS) \
	  2>build/fuzz-sanitized.log || { tail -n 80 build/fuzz-sanitized.log; exit 1; }
	@tail -n 12 build/fuzz-sanitized.log | grep -E '^(Done|stat::number_of_executed_units)' || true

# Benchmarks: the C++ one forces each kernel variant through the core's API;
# the Python one times the module's calls and a SciPy peer (SciPy is only
# needed here, never by the module) and prints one table.
BENCH_BUILD := build/bench
bench: $(STAMPS)/installed
	$(VPY) -c 'import scipy' 2>/dev/null || $(VPY) -m pip install -q "scipy>=1.13"
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DTAVIK_BUILD_BENCH=ON -DTAVIK_BUILD_MODULE=OFF >/dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD) --parallel 2 --target core_bench
	$(VPY) bench/bench.py --core $(BENCH_BUILD)/core_bench $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)

# --- The demo, the typing checks and the wheel check --------------------------
# They build on the same set-up as the tests ($(STAMPS)/installed), and
# `make test` runs the checks after the C++ and Python tests.
WHEEL_DIR  := build/wheelhouse
WHEEL_VENV := build/wheel-venv

.PHONY: demo typecheck wheel-check
test: typecheck wheel-check

# The gammatonegram of the shipped speech sample: gammatonegram.png and .npz.
demo: $(STAMPS)/installed
	$(VENV)/bin/tavik gammatonegram

# The stubs against the built module, then the package and the examples
# against the stubs.
typecheck: $(STAMPS)/installed
	$(VPY) -m mypy.stubtest _tavik --allowlist python/stubtest-allowlist.txt
	$(VPY) -m mypy --strict python/tavik examples

# The wheel that `pip wheel .` makes, installed with its cli extra into a
# fresh 3.10 venv, checked from outside the source tree.
wheel-check: $(STAMPS)/wheel-checked
$(STAMPS)/wheel-checked: $(STAMPS)/installed $(wildcard examples/*.py) tests/wheel_check.py
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(PYTHON310) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls $(WHEEL_DIR)/tavik-*.whl)[cli]"
	work=$$(mktemp -d) && cd $$work && \
	  $(CURDIR)/$(WHEEL_VENV)/bin/python $(CURDIR)/tests/wheel_check.py $(CURDIR)/examples && \
	  rm -rf $$work
	@touch $@
