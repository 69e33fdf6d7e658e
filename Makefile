# make demo         builds the two native modules into build-demo/ and runs the demos
#                   (module, package, command line); its own small .venv-demo holds
#                   only CMake and Ninja: no root, no GoogleTest, no C++ tests
# make check        checks the sources (lint: layering, formatting), builds with -Werror,
#                   type-checks, runs the C++ and Python tests (fast; the leak check
#                   among them), and the calls that let go of the interpreter lock
#                   again under the debug allocator
# make reliability  the reliability harness: sanitizers, debug allocator,
#                   fuzzer, leaks, threads (reliability/README.md)
# make wheel-test   builds the sdist, a wheel from it and its manylinux repair, and tests
#                   the installed wheel in a fresh virtual environment
# make test         check, wheel-test, then reliability: every test there is; CI runs it
# make bench        builds with the benchmarks into build-bench/ and prints one table
#                   of every figure against its baseline and goal (bench/README.md)
# All but demo set up .venv (Python 3.13) and the Debian packages they need first.

VENV    := .venv
BUILD   := build
BENCH_BUILD := build-bench
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
DEMO_VENV  := .venv-demo
DEMO_BUILD := build-demo
DEMO_PY    := $(DEMO_VENV)/bin/python
JOBS    ?= 2
export PYTHON
export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/$(BUILD)/python:$(CURDIR)/python

# Bound on each build and test step, in seconds.
BUILD_TIMEOUT := 1200
TEST_TIMEOUT  := 900
BOUNDED_BUILD := timeout --kill-after=30 $(BUILD_TIMEOUT)
BOUNDED_TEST  := timeout --kill-after=30 $(TEST_TIMEOUT)
STAGE         := reliability/stage

# The reliability stages, in the order `make reliability` runs them.
RELIABILITY_STAGES := selftest asan-unit asan-pytest devmode fuzz leaks threads tsan

# Stages share the sanitizer log folder and the machine's two cores: one
# target at a time, even under make -j.
.NOTPARALLEL:

.PHONY: demo test check lint wheel-test build build-asan build-tsan deps clean typecheck bench reliability \
        $(RELIABILITY_STAGES) fuzz-replay package-fuzz-replay

# The demo builds what it runs and nothing else: the two native modules,
# without the C++ tests, in a folder and an environment of its own, so that a
# fresh clone needs neither root (GoogleTest) nor the full .venv (formatters,
# linters, packaging tools).  Ninja starts each object file as soon as its
# sources are there, where make waits for the libraries below it to link.
demo: $(DEMO_VENV)/.installed
	$(BOUNDED_BUILD) $(DEMO_VENV)/bin/cmake -S . -B $(DEMO_BUILD) -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(DEMO_VENV)/bin/ninja \
	    -DPython_EXECUTABLE=$(CURDIR)/$(DEMO_PY) -DALPHABET_TESTS=OFF
	$(BOUNDED_BUILD) $(DEMO_VENV)/bin/cmake --build $(DEMO_BUILD) -j $(JOBS) --target _alphabet _native
	PYTHONPATH=$(CURDIR)/$(DEMO_BUILD):$(CURDIR)/$(DEMO_BUILD)/python:$(CURDIR)/python \
	    $(DEMO_PY) examples/demo.py
	PYTHONPATH=$(CURDIR)/$(DEMO_BUILD):$(CURDIR)/$(DEMO_BUILD)/python:$(CURDIR)/python \
	    $(DEMO_PY) examples/package_demo.py

test: check wheel-test reliability

# The tests that cross every call letting go of the interpreter lock, run
# again under the debug allocator, which aborts on a Python object made or
# freed without the lock (the devmode stage runs all of tests/ so).
UNLOCKED_TESTS := tests/native/test_lock_thresholds.py tests/native/test_codec.py \
                  tests/native/test_bulk.py tests/native/test_boundary_bytes.py \
                  tests/package/test_reader_codec.py tests/package/test_genome.py

check: lint build typecheck
	$(BOUNDED_TEST) $(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure --timeout 300
	$(BOUNDED_TEST) $(PY) -m pytest -q tests
	PYTHONMALLOC=debug $(BOUNDED_TEST) $(PY) -X dev -m pytest -q $(UNLOCKED_TESTS)

# Static checks of the sources: each folder includes only from the folders
# below it; C++ and Python are formatted (clang-format, ruff format) and
# pass ruff's lint rules (pyproject.toml).
PY_SOURCES := conftest.py python tests bench reliability examples scripts
lint: $(VENV)/.installed
	$(PY) scripts/check-layering.py
	git ls-files -z '*.cc' '*.h' | xargs -0 $(VENV)/bin/clang-format --dry-run --Werror
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)

# mypy --strict on the alphabet package, stubtest on the stubs of both native modules.
typecheck: build
	$(BOUNDED_TEST) $(PY) -m mypy
	$(BOUNDED_TEST) $(PY) -m mypy.stubtest --mypy-config-file pyproject.toml _alphabet alphabet._native

build: deps $(VENV)/.installed
	$(BOUNDED_BUILD) $(CMAKE) -S . -B $(BUILD) -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DALPHABET_WERROR=ON
	$(BOUNDED_BUILD) $(CMAKE) --build $(BUILD) -j $(JOBS)

# Sanitizer builds: warnings are the -Werror build's business, and the
# instrumentation makes GCC warn where the plain build does not.
build-asan: deps $(VENV)/.installed
	$(BOUNDED_BUILD) $(CMAKE) -S . -B build-asan -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	  -DALPHABET_SANITIZE=address,undefined
	$(BOUNDED_BUILD) $(CMAKE) --build build-asan -j $(JOBS)

build-tsan: deps $(VENV)/.installed
	$(BOUNDED_BUILD) $(CMAKE) -S . -B build-tsan -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	  -DALPHABET_SANITIZE=thread
	$(BOUNDED_BUILD) $(CMAKE) --build build-tsan -j $(JOBS)

wheel-test: deps $(VENV)/.installed
	$(BOUNDED_BUILD) scripts/wheel-test

reliability: $(RELIABILITY_STAGES)

selftest: build
	$(STAGE) $@
asan-unit asan-pytest fuzz leaks threads: build-asan
	$(STAGE) $@
devmode: build
	$(STAGE) $@
tsan: build-tsan
	$(STAGE) $@
# make fuzz-replay SEED=N CALLS=K: one fuzz episode under the sanitizers,
# every call printed.
fuzz-replay: build-asan
	$(STAGE) fuzz-replay $(SEED) $(CALLS)
# make package-fuzz-replay SEED=N CALLS=K: the same for the package fuzzer.
package-fuzz-replay: build-asan
	$(STAGE) package-fuzz-replay $(SEED) $(CALLS)

# Benchmarks build in a directory of their own, without the C++ tests and
# without -Werror, so that `make test` and its build/ stay as they are.  The
# suite is a report: it exits 0 even when a goal is missed.
# The peers measured side by side go into the venv for the benchmarks only
# (bench/requirements-peers.txt); the package never depends on them.
bench: deps $(VENV)/.installed
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements-peers.txt
	$(CMAKE) -S . -B $(BENCH_BUILD) -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALPHABET_TESTS=OFF -DALPHABET_BENCH=ON
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target _alphabet _native _floor alphabet_core_bench kernels_bench
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD):$(CURDIR)/$(BENCH_BUILD)/python:$(CURDIR)/python $(PY) bench/suite.py

# GoogleTest (for the C++ tests only) comes from Debian; installed when
# missing and running as root.
deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "please install libgtest-dev" >&2; exit 1; \
	  fi; \
	fi

# pip fills the demo's environment and then goes: it would be an eighth of
# an environment that is otherwise CMake and Ninja.  A change of
# requirements-demo.txt makes the environment anew.
$(DEMO_VENV)/.installed: requirements-demo.txt
	rm -rf $(DEMO_VENV)
	"$$(scripts/find-python313.sh)" -m venv $(DEMO_VENV)
	$(DEMO_PY) -m pip install -q --disable-pip-version-check -r requirements-demo.txt
	$(DEMO_PY) -m pip uninstall -q -y pip
	touch $@

$(VENV)/.installed: requirements-dev.txt requirements-demo.txt requirements-test.txt
	test -x $(PY) || "$$(scripts/find-python313.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) $(DEMO_BUILD) build-asan build-tsan build-wheel build-sanitizer-logs
