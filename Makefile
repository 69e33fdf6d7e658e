# make demo   builds the module and runs the demos (module, package, command line)
# make test   builds with -Werror and runs the C++ and Python tests
# Both set up .venv (Python 3.13) and the Debian packages they need first.
# make bench  builds with the benchmarks into build-bench/ and prints one table
#             of every figure against its baseline and goal (bench/README.md)

VENV    := .venv
BUILD   := build
BENCH_BUILD := build-bench
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
JOBS    ?= 2
export PYTHON
export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/python

.PHONY: demo test build deps clean typecheck bench

demo: build
	$(PY) examples/demo.py
	$(PY) examples/package_demo.py

test: build typecheck
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure
	$(PY) -m pytest -q tests

# mypy --strict on the alphabet package, stubtest on the module's stubs.
typecheck: build
	$(PY) -m mypy
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml _alphabet

build: deps $(VENV)/.installed
	$(CMAKE) -S . -B $(BUILD) -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DALPHABET_WERROR=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# Benchmarks build in a directory of their own, without the C++ tests and
# without -Werror, so that `make test` and its build/ stay as they are.  The
# suite is a report: it exits 0 even when a goal is missed.
bench: deps $(VENV)/.installed
	$(CMAKE) -S . -B $(BENCH_BUILD) -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALPHABET_TESTS=OFF -DALPHABET_BENCH=ON
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target _alphabet _floor alphabet_core_bench
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD):$(CURDIR)/python $(PY) bench/suite.py

# GoogleTest and the header-only hash map come from Debian; installed when
# missing and running as root.
deps:
	@if [ ! -f /usr/include/tsl/robin_map.h ] || [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev robin-map-dev; \
	  else \
	    echo "please install libgtest-dev and robin-map-dev" >&2; exit 1; \
	  fi; \
	fi

$(VENV)/.installed: requirements-dev.txt
	test -x $(PY) || "$$(scripts/find-python313.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

clean:
	rm -rf $(BUILD) $(BENCH_BUILD)
