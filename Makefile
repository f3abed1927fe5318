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
