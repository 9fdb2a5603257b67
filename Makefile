# Entry points: `make demo` and `make test`.  Everything else is set up on the way.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
VENV_READY := $(VENV)/.zub-tools
CPP_BUILD := build/cpp
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: demo test test-cpp test-python install system-deps venv bench bench-cpp clean

demo: install
	$(PY) examples/quickstart.py

# Runs every script in examples/; the plotting ones write their pictures to docs/.
.PHONY: examples
examples: $(VENV_READY)
	$(PIP) install --quiet --no-build-isolation ".[examples]"
	@for script in examples/*.py; do echo "$(PY) $$script"; $(PY) $$script >/dev/null || exit 1; done

test: test-cpp test-python

# The venv and the build and test tools; redone when this file changes, so an
# older .venv picks up tools added since.
$(VENV_READY): Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" "pytest>=7" "hypothesis>=6" "mypy>=1.10" "matplotlib>=3.8"
	touch $@

venv: $(VENV_READY)

# GoogleTest and Google Benchmark from Debian's packages when missing.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/benchmark/benchmark.h ]; then \
		echo "installing libgtest-dev and libbenchmark-dev"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev libbenchmark-dev >/dev/null; \
	fi
	@command -v ninja >/dev/null 2>&1 || command -v make >/dev/null 2>&1

install: $(VENV_READY)
	$(PIP) install --quiet --no-build-isolation .

test-cpp: system-deps
	cmake -S . -B $(CPP_BUILD) -DZUB_BUILD_TESTS=ON -DZUB_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: install
	$(PY) -m pytest -q tests/python

# zub against QuantLib and py_vollib (installed into the venv as the optional
# group "bench"); writes bench/RESULTS.md and bench/accuracy.png.
bench: $(VENV_READY)
	$(PIP) install --quiet --no-build-isolation ".[bench]"
	$(PY) -m pytest -q -p no:cacheprovider bench/test_harness.py
	$(PY) bench/run.py

bench-cpp: system-deps
	cmake -S . -B $(CPP_BUILD) -DZUB_BUILD_TESTS=ON -DZUB_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS) --target zub_bench
	$(CPP_BUILD)/zub_bench

clean:
	rm -rf build
