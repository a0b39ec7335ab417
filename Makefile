# The README's commands. `make demo` is the main job, `make test` runs every test; both set up a
# fresh machine first (scripts/setup.sh) and reuse what an earlier run installed.
PY := .venv/bin/python
BUILD_TYPE ?= Debug
FUZZ_SECONDS ?= 60
NPROC := $(shell nproc)
CMAKE_TESTS := -G Ninja -DDUZUDAVIDA_BUILD_MODULE=OFF -DDUZUDAVIDA_BUILD_TESTS=ON

.PHONY: setup demo test test-cpp test-python test-package lint sanitize fuzz bench-deps bench bench-quick wheel-manylinux docs test-docs

setup:
	scripts/setup.sh

demo: setup
	$(PY) examples/search_demo.py third_party/weicheng.utf8

test: setup test-cpp test-python test-package test-docs

test-cpp:
	cmake -S . -B build/cpp $(CMAKE_TESTS) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build build/cpp
	ctest --test-dir build/cpp --output-on-failure -j$(NPROC)

# On every core (pytest-xdist), an idle worker taking tests queued for the other: no test times
# one path against another, so the tests need no idle cores.
test-python:
	$(PY) -m pytest -q -n $(NPROC) --dist worksteal

# The package as a user installs it: every front end's sdist and wheel, a fresh venv, stubtest and
# mypy --strict.
test-package:
	scripts/check_package.sh

# The pages under docs/ (MkDocs, mkdocs.yml) into site/; strict, so that a broken link, a missing
# page or an API name the stubs lack fails the build.
docs: setup test-docs
test-docs:
	$(PY) -m mkdocs build --strict -q

# The wheel for glibc 2.28 and later (manylinux_2_28), built here with zig, into dist/manylinux.
wheel-manylinux: setup
	scripts/wheel_manylinux.sh

lint: setup
	.venv/bin/ruff check src tests/python bench examples

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the Python tests
# against a module built with both (the interpreter itself is not instrumented, so leaks are
# not checked there). The sanitized tests run on every core (pytest-xdist), an idle worker taking
# tests queued for the other: serially they took 8 of CI's 23 minutes. One build tree serves both,
# so the libraries compile once.
SANITIZER_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
sanitize: setup
	cmake -S . -B build/asan $(CMAKE_TESTS) -DDUZUDAVIDA_BUILD_MODULE=ON -DCMAKE_BUILD_TYPE=Debug -DDUZUDAVIDA_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/asan --output-on-failure -j$(NPROC)
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LD_PRELOAD="$(SANITIZER_RUNTIME)" PYTHONPATH=build/asan/csrc/binding \
	  $(PY) -m pytest -p no:cacheprovider -q -n $(NPROC) --dist worksteal

# The coverage-guided parser fuzzer (libFuzzer, clang) under both sanitizers.
fuzz: setup
	scripts/fuzz.sh $(FUZZ_SECONDS)

bench-deps: setup
	@if [ ! -f .venv/.bench-stamp ] || [ bench/requirements.txt -nt .venv/.bench-stamp ]; then \
	  $(PY) -m pip install -q -r bench/requirements.txt && touch .venv/.bench-stamp; fi

bench: bench-deps
	$(PY) bench/run.py

bench-quick: bench-deps
	$(PY) bench/run.py --quick
