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

# Runs every script in examples/; the plotting ones write their pictures to
# EXAMPLES_OUT, under build/ unless given.  `make examples EXAMPLES_OUT=docs`
# redraws the README's pictures.
EXAMPLES_OUT ?= build/examples
.PHONY: examples
examples: $(VENV_READY)
	$(PIP) install --quiet --no-build-isolation ".[examples]"
	@for script in examples/*.py; do echo "$(PY) $$script"; \
		ZUB_EXAMPLES_OUT="$(EXAMPLES_OUT)" $(PY) $$script >/dev/null || exit 1; done

test: test-cpp test-python

# The venv with the build tools, all that `make demo` needs; redone when this
# file changes, so an older .venv picks up tools added since.
$(VENV_READY): Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.11"
	touch $@

# The test tools: the dependency group "test" of pyproject.toml.
TEST_READY := $(VENV)/.zub-test-tools
$(TEST_READY): $(VENV_READY) pyproject.toml
	$(PIP) install --quiet --group test
	touch $@

venv: $(VENV_READY)

# The API reference in build/docs/html, made from the stubs (Sphinx and AutoAPI,
# the dependency group "docs"); any warning fails the build, and every build
# reads everything afresh (-E) so that no warning hides in a cached page.
DOCS_READY := $(VENV)/.zub-docs-tools
$(DOCS_READY): $(VENV_READY) pyproject.toml
	$(PIP) install --quiet --group docs
	touch $@

.PHONY: docs
docs: $(DOCS_READY)
	$(PY) -m sphinx -E -W --keep-going -q -b html docs build/docs/html
	@echo "API reference: build/docs/html/index.html"

# One abi3 wheel in dist/; on Linux repaired to the oldest manylinux tag that
# its symbol versions allow (auditwheel, with patchelf on the PATH).
.PHONY: wheel
wheel: $(TEST_READY)
	rm -rf build/wheel
	$(PIP) wheel --quiet --no-build-isolation --no-deps -w build/wheel .
	if [ "$$(uname)" = Linux ]; then \
		PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel/*.whl; \
	else mkdir -p dist && cp build/wheel/*.whl dist/; fi

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

test-python: install $(TEST_READY)
	$(PY) -m pytest -q tests/python

# zub against QuantLib, py_vollib and py_vollib_vectorized (installed into the
# venv as the optional group "bench"); writes bench/RESULTS.md, docs/american_frontier.png and
# bench/accuracy.png.  The test tools bring pytest for the harness's own tests.
bench: $(TEST_READY)
	$(PIP) install --quiet setuptools wheel  # py_vollib builds from source, without build isolation
	$(PIP) install --quiet --no-build-isolation ".[bench]"
	$(PY) -m pytest -q -p no:cacheprovider bench/test_harness.py
	$(PY) bench/run.py

bench-cpp: system-deps
	cmake -S . -B $(CPP_BUILD) -DZUB_BUILD_TESTS=ON -DZUB_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS) --target zub_bench
	$(CPP_BUILD)/zub_bench

clean:
	rm -rf build

# AddressSanitizer and UndefinedBehaviorSanitizer: the C++ tests and the Python
# suite against a sanitized build of the module, kept in its own build
# directory and put first on PYTHONPATH (the module installed in the venv is
# left alone).  The interpreter is not instrumented, so the sanitizer runtimes
# are preloaded; Python objects go through malloc so that ASan sees them, and
# leaks that the interpreter itself leaves at exit are suppressed.
SAN_BUILD := build/sanitize
SAN_OPTIONS = ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SAN_ENV = $(SAN_OPTIONS) LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	PYTHONPATH=$(abspath $(SAN_BUILD))/site PYTHONMALLOC=malloc \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/python/lsan_interpreter.supp:print_suppressions=0
.PHONY: test-sanitize
test-sanitize: system-deps $(TEST_READY)
	cmake -S . -B $(SAN_BUILD) -DZUB_SANITIZE=ON -DZUB_BUILD_TESTS=ON -DZUB_BUILD_PYTHON=ON \
		-DZUB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && $(SAN_OPTIONS) ctest --output-on-failure -j $(JOBS)
	cmake --install $(SAN_BUILD) --prefix $(SAN_BUILD)/site >/dev/null
	$(SAN_ENV) $(PY) -c "import zub; assert zub.__file__.startswith('$(abspath $(SAN_BUILD))'), zub.__file__"
	$(SAN_ENV) $(PY) -m pytest -q -p no:cacheprovider -m "not packaging" tests/python
