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

SOURCES := $(wildcard extractor/*.hpp python/*.cpp python/*.hpp) CMakeLists.txt pyproject.toml
SOURCES += $(wildcard python/_tavik-stubs/*.pyi)

# CPython 3.10: python3.10 on PATH if it runs, else the newest 3.10 of pyenv.
PYTHON310 ?= $(shell \
  if python3.10 -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then \
    command -v python3.10; \
  elif command -v pyenv >/dev/null 2>&1; then \
    v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.10(\.[0-9]+)?$$' | sort -V | tail -n 1); \
    [ -n "$$v" ] && echo "$$(pyenv prefix $$v)/bin/python3.10"; \
  fi)

.PHONY: test cpp-test py-test install system-deps clean

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
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure --no-tests=error

py-test: $(STAMPS)/installed
	$(VPY) -m pytest

clean:
	rm -rf build $(VENV)

# --- The demo, the typing checks and the wheel check --------------------------
# They build on the same set-up as the tests ($(STAMPS)/installed), and
# `make test` runs the checks after the C++ and Python tests.
WHEEL_DIR  := build/wheelhouse
WHEEL_VENV := build/wheel-venv

.PHONY: demo typecheck wheel-check
test: typecheck wheel-check

# The gammatonegram of the shipped speech sample: gammatonegram.png and .npy.
demo: $(STAMPS)/installed
	$(VPY) examples/gammatonegram.py

# The stubs against the built module, then the examples against the stubs.
typecheck: $(STAMPS)/installed
	$(VPY) -m mypy.stubtest _tavik --allowlist python/stubtest-allowlist.txt
	$(VPY) -m mypy --strict examples

# The wheel that `pip wheel .` makes, installed with its demo extra into a
# fresh 3.10 venv, checked from outside the source tree.
wheel-check: $(STAMPS)/wheel-checked
$(STAMPS)/wheel-checked: $(STAMPS)/installed $(wildcard examples/*.py examples/data/*) tests/wheel_check.py
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(PYTHON310) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls $(WHEEL_DIR)/tavik-*.whl)[demo]"
	work=$$(mktemp -d) && cd $$work && \
	  $(CURDIR)/$(WHEEL_VENV)/bin/python $(CURDIR)/tests/wheel_check.py $(CURDIR)/examples && \
	  rm -rf $$work
	@touch $@
