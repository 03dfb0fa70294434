# The two set-up commands: `make demo` (train, encode and decode on the
# bundled sample corpus) and `make test` (every test).

SHELL := /bin/bash
PYTHONS := $(shell scripts/find-pythons)
PYTHON := $(firstword $(PYTHONS))
VENV := .venv
JOBS ?= 2
WERROR := $(if $(filter true,$(CI)),ON,$(or $(SELVANE_WERROR),OFF))

.PHONY: demo test py-test cpp-test check-format check-generated generate \
        format asan bench have-python bench-peers wheel wheel-test sdist

have-python:
	@if [ -z "$(PYTHON)" ]; then echo "no CPython 3.12 or later found" >&2; exit 1; fi

# Builds the module into .venv and runs the main job on the sample corpus.
demo: have-python
	scripts/make-venv $(PYTHON) $(VENV)
	scripts/install-module $(VENV) build/demo Release
	$(VENV)/bin/python examples/demo.py

test: check-format check-generated cpp-test py-test

# The Python suite, once for every CPython 3.12 or later on this machine.
py-test: have-python
	@set -e; for python in $(PYTHONS); do \
	  version=$$($$python -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  echo "== pytest on CPython $$version"; \
	  scripts/make-venv $$python .venv-$$version; \
	  scripts/install-module .venv-$$version build/py-$$version Release \
	    -Ccmake.define.SELVANE_ASSERTIONS=ON; \
	  (cd tests && ../.venv-$$version/bin/python -m pytest -q -p no:cacheprovider .); \
	done

# A wheel for every CPython 3.12 or later on this machine, built with
# `python -m build` and repaired by auditwheel into a manylinux tag, in dist/.
wheel: have-python
	@set -e; for python in $(PYTHONS); do scripts/build-wheel $$python dist >/dev/null; done
	@ls -l dist/selvane-*manylinux*.whl

# The newest wheel of each CPython in dist/ (`make wheel` first) installed into
# a fresh venv without a compiler: the command-line smoke test and the
# companion tests against it.
wheel-test: have-python
	@set -e; for python in $(PYTHONS); do \
	  tag=$$($$python -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
	  wheel=$$(ls -t dist/selvane-*-$$tag-$$tag-*manylinux*.whl 2>/dev/null | head -n 1); \
	  if [ -z "$$wheel" ]; then echo "no $$tag wheel in dist/: run make wheel" >&2; exit 1; fi; \
	  echo "== wheel test of $$wheel"; \
	  scripts/test-wheel $$python $$wheel; \
	done

# The source distribution, in dist/: everything tracked except build output;
# the sample corpus goes with its license (data/sample/COPYING-tashkeela).
sdist: have-python
	scripts/make-venv $(PYTHON) $(VENV)
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check "build>=1.2"
	$(VENV)/bin/python -m build --sdist --outdir dist .

cpp-test:
	scripts/ensure-apt libgtest-dev
	@command -v cmake >/dev/null || scripts/ensure-apt cmake
	cmake -S . -B build/cpp -DCMAKE_BUILD_TYPE=Debug -DSELVANE_BUILD_TESTS=ON \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR) -DPython_EXECUTABLE=$(PYTHON)
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

check-format:
	scripts/ensure-apt clang-format
	scripts/check-format

format:
	scripts/ensure-apt clang-format
	scripts/check-format --fix

generate: have-python
	$(PYTHON) tools/gen_grapheme_tables.py

# Regenerates the Unicode tables and fails when the checked-in ones differ.
check-generated: have-python
	$(PYTHON) tools/gen_grapheme_tables.py --check

# The whole Python suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
asan: have-python
	scripts/make-venv $(PYTHON) .venv-asan
	scripts/install-module .venv-asan build/asan Debug -Ccmake.define.SELVANE_SANITIZE=ON
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc ../.venv-asan/bin/python -m pytest -q -x -p no:cacheprovider .

# selvane beside other subword tokenizers: a venv of its own (.venv-bench,
# never a dependency of the module) with the peers, matplotlib and the module;
# rewrites docs/benchmarks.md and docs/peers.png. youtokentome's source
# package imports Cython without declaring it, hence Cython first and no build
# isolation; when it still does not build, the benchmark runs without it.
BENCH_VENV := .venv-bench
PEERS_ARGS ?=
bench-peers: have-python
	scripts/make-venv $(PYTHON) $(BENCH_VENV)
	@if [ ! -f $(BENCH_VENV)/.peers-installed ]; then \
	  set -e; \
	  $(BENCH_VENV)/bin/python -m pip install -q --disable-pip-version-check \
	    tokenizers sentencepiece matplotlib Cython setuptools wheel; \
	  $(BENCH_VENV)/bin/python -m pip install -q --disable-pip-version-check \
	    --no-build-isolation youtokentome || \
	    echo "youtokentome did not install on this interpreter: benchmarking without it"; \
	  touch $(BENCH_VENV)/.peers-installed; \
	fi
	scripts/install-module $(BENCH_VENV) build/bench Release
	$(BENCH_VENV)/bin/python bench/peers.py $(PEERS_ARGS)

# The libFuzzer harnesses of fuzz/, built with clang under ASan and UBSan,
# each run in turn for FUZZ_SECONDS on its seed corpus.
FUZZ_SECONDS ?= 60
.PHONY: fuzz fuzz-build
fuzz-build:
	scripts/ensure-apt clang-15
	@command -v cmake >/dev/null || scripts/ensure-apt cmake
	cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-15
	cmake --build build/fuzz -j $(JOBS)

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run-fuzzers $(CURDIR)/build/fuzz

# A short run of every fuzzer, for CI.
.PHONY: fuzz-short
fuzz-short: fuzz-build
	FUZZ_SECONDS=30 fuzz/run-fuzzers $(CURDIR)/build/fuzz

# The C++ tests built with AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer (on by default with ASan): no interpreter is involved, so
# leaks are checked too.
.PHONY: cpp-sanitize
cpp-sanitize:
	scripts/ensure-apt libgtest-dev
	@command -v cmake >/dev/null || scripts/ensure-apt cmake
	cmake -S . -B build/cpp-sanitize -DCMAKE_BUILD_TYPE=Debug \
	  -DSELVANE_BUILD_TESTS=ON -DSELVANE_SANITIZE=ON \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR) -DPython_EXECUTABLE=$(PYTHON)
	cmake --build build/cpp-sanitize -j $(JOBS) --target selvane_cpp_tests
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/cpp-sanitize --output-on-failure -j $(JOBS)
