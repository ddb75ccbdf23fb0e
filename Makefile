# Every target runs inside the project's dev root (tools/devroot), unless PELNOR_PYTHON names
# a host CPython 3.14 (for example PELNOR_PYTHON=python3.14t): then the host's tools are used.

ifeq ($(PELNOR_PYTHON),)
  IN_ENV := tools/devroot run
  PYTHON := python3
  PYTHON_HINT :=
else
  IN_ENV := env PYTHONPATH=$(CURDIR)/python
  PYTHON := $(PELNOR_PYTHON)
  PYTHON_HINT := -DPython_EXECUTABLE=$(shell command -v $(PELNOR_PYTHON))
endif

BUILD_DIR := build
CMAKE_CONFIGURE := cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPELNOR_WERROR=ON $(PYTHON_HINT)
# Hand-written C++ sources; the generated Unicode tables keep the generator's layout.
SOURCES := $(filter-out src/pelnor/generated/unicode_tables.cpp,\
  $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'fuzz/*.cpp'))

.PHONY: all build test test-cpp test-python test-python-debug demo data format lint clean sanitize \
  sanitize-address sanitize-thread sanitize-thread-3.14t bench fuzz conformance

all: build

build:
	$(IN_ENV) sh -c 'test -f $(BUILD_DIR)/build.ninja || $(CMAKE_CONFIGURE)'
	$(IN_ENV) cmake --build $(BUILD_DIR)

test: build test-cpp test-python

test-cpp:
	$(IN_ENV) ctest --test-dir $(BUILD_DIR) --output-on-failure --timeout 600

test-python:
	$(IN_ENV) $(PYTHON) -m pytest -q tests/python

# The Python suite under each other supported CPython (`make test-python3.13`, or all of them
# with `make test-pythons`), with the module built for it into its own folder. The skipped tests
# and why (numpy, tiktoken absent for that interpreter) are listed; for python3.14t the regular
# python3 serves tiktoken. python3.14t, the free-threaded build, is built once per machine from the
# shared CPython source (tools/devroot freethreaded).
OTHER_PYTHONS := python3.13 python3.15 python3.14t
OTHER_PYTHON_TESTS := $(OTHER_PYTHONS:%=test-%)
.PHONY: test-pythons $(OTHER_PYTHON_TESTS) wheel test-wheel freethreaded
test-pythons: $(OTHER_PYTHON_TESTS)
freethreaded:
	tools/devroot freethreaded
test-python3.14t: freethreaded
$(OTHER_PYTHON_TESTS): test-%:
	$(IN_ENV) sh -c 'test -f build-$*/build.ninja || cmake -S . -B build-$* -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DPELNOR_WERROR=ON -DPELNOR_TESTS=OFF -DPELNOR_BENCH=OFF \
	  -DPython_EXECUTABLE=$$(command -v $*) -DPELNOR_MODULE_DIR=$(CURDIR)/build-$*/pkg/pelnor'
	$(IN_ENV) cmake --build build-$*
	cp python/pelnor/*.py python/pelnor/*.pyi python/pelnor/py.typed python/pelnor/sample.txt \
	  build-$*/pkg/pelnor/
	cp -r python/pelnor/hf build-$*/pkg/pelnor/
	$(IN_ENV) env PYTHONPATH=$(CURDIR)/build-$*/pkg $* -m pytest -q -p no:cacheprovider -rs tests/python

# The sdist and the wheel built from it for WHEEL_PYTHON, in dist/ (tools/build_wheel, with
# Debian 12's compiler from the toolchain root); test-wheel runs the Python suite against that
# wheel installed into a fresh virtual environment (tools/test_wheel).
WHEEL_PYTHON := python3.15
WHEEL_NEEDS := $(if $(filter python3.14t,$(WHEEL_PYTHON)),freethreaded)
wheel: $(WHEEL_NEEDS)
	tools/devroot toolchain
	$(IN_ENV) tools/build_wheel $(WHEEL_PYTHON) dist

test-wheel: $(WHEEL_NEEDS)
	tools/devroot toolchain
	$(IN_ENV) tools/test_wheel $(WHEEL_PYTHON)

# The Python suite under the debug interpreter in development mode, with the module built for it
# (its headers are the release ones, so the build defines Py_DEBUG itself; the reference-count
# bookkeeping the module then calls shows that it took). The command line's tests stay out of
# it, as out of the sanitizer run: they start fresh, slow interpreters and reach the module only
# through calls the rest of the suite makes.
DEBUG_PYTHON := python3.14d
DEBUG_DIR := build-py-debug
test-python-debug:
	$(IN_ENV) sh -c 'test -f $(DEBUG_DIR)/build.ninja || cmake -S . -B $(DEBUG_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-DPy_DEBUG -DPELNOR_WERROR=ON \
	  -DPELNOR_CHECKED=ON -DPELNOR_TESTS=OFF -DPELNOR_BENCH=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(DEBUG_PYTHON)) -DPELNOR_MODULE_DIR=$(CURDIR)/$(DEBUG_DIR)/pkg/pelnor'
	$(IN_ENV) cmake --build $(DEBUG_DIR)
	$(IN_ENV) sh -c 'nm -D $(DEBUG_DIR)/pkg/pelnor/_pelnor*.so | grep -q _Py_INCREF_IncRefTotal'
	cp python/pelnor/*.py python/pelnor/*.pyi python/pelnor/py.typed python/pelnor/sample.txt \
	  $(DEBUG_DIR)/pkg/pelnor/
	cp -r python/pelnor/hf $(DEBUG_DIR)/pkg/pelnor/
	$(IN_ENV) env PYTHONPATH=$(CURDIR)/$(DEBUG_DIR)/pkg PELNOR_CONFORMANCE_TEXTS=2000 \
	  PELNOR_HYPOTHESIS_EXAMPLES=100 PELNOR_STRESS_SECONDS=5 $(DEBUG_PYTHON) -X dev -m pytest -q \
	  -p no:cacheprovider tests/python -k "not pip_install and not dask" \
	  --ignore=tests/python/test_cli.py

# The bench on distinct text: the corpus's English part (bench/corpus.py).
demo: build
	$(IN_ENV) $(PYTHON) -m pelnor count python/pelnor/sample.txt README.md
	$(IN_ENV) $(PYTHON) bench/corpus.py
	$(IN_ENV) $(PYTHON) -m pelnor bench $(BUILD_DIR)/bench-corpus/english.txt

# Regenerates data/ from ../shared/data (the published rank tables and the UCD).
data:
	$(IN_ENV) $(PYTHON) tools/gen_data.py

format:
	$(IN_ENV) clang-format -i $(SOURCES)

lint: build
	$(IN_ENV) clang-format --dry-run --Werror $(SOURCES)
	$(IN_ENV) clang-tidy -p $(BUILD_DIR) --quiet $(filter %.cpp,$(SOURCES))

# The corpus of real text (bench/corpus.py) is assembled first, from the dev root's packages.
bench: build
	$(IN_ENV) $(PYTHON) bench/corpus.py
	$(IN_ENV) $(BUILD_DIR)/bench/pelnor_core_bench --benchmark_min_time=0.2s
	$(IN_ENV) $(PYTHON) bench/bench_api.py

# The long conformance run: a million generated texts per encoding against tiktoken.
conformance: build
	$(IN_ENV) env PELNOR_CONFORMANCE_TEXTS=1000000 PELNOR_HYPOTHESIS_EXAMPLES=20000 \
	  $(PYTHON) -m pytest -q -s tests/python/test_conformance.py

# The C++ tests and the Python suite under AddressSanitizer and UndefinedBehaviorSanitizer, with
# the core's assertions kept (the interpreter is not instrumented, so the runtime is preloaded;
# objects go through malloc, and leaks are reported except the interpreter's own); the command
# line's tests stay out of it, as each starts interpreters that take seconds under the sanitizer
# and reach the module only through calls the rest of the suite makes. Then the concurrency tests and
# the module's threaded Python tests (the 32-thread stress, batches, forks) under
# ThreadSanitizer, where any report fails the run. Impossible allocations return null, as they do
# unsanitized, so that the tests of allocation failure run; the fork test's children start
# threads, which ThreadSanitizer allows only when told to. Each half runs alone as
# sanitize-address or sanitize-thread.
ASAN_DIR := build-asan
TSAN_DIR := build-tsan
SANITIZE_CONFIGURE := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNOR_BENCH=OFF -DPELNOR_WERROR=ON \
  -DPELNOR_CHECKED=ON $(PYTHON_HINT)
sanitize: sanitize-address sanitize-thread

sanitize-address:
	$(IN_ENV) sh -c 'test -f $(ASAN_DIR)/build.ninja || cmake -S . -B $(ASAN_DIR) $(SANITIZE_CONFIGURE) \
	  -DPELNOR_SANITIZE=address,undefined -DPELNOR_MODULE_DIR=$(CURDIR)/$(ASAN_DIR)/pkg/pelnor'
	$(IN_ENV) cmake --build $(ASAN_DIR)
	$(IN_ENV) env ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 ctest --test-dir $(ASAN_DIR) --output-on-failure
	cp python/pelnor/*.py python/pelnor/*.pyi python/pelnor/sample.txt $(ASAN_DIR)/pkg/pelnor/
	cp -r python/pelnor/hf $(ASAN_DIR)/pkg/pelnor/
	$(IN_ENV) sh -c 'env PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/pkg PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan_interpreter.supp:print_suppressions=0 \
	  PELNOR_SANITIZED=1 PELNOR_STRESS_SECONDS=10 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python -k "not pip_install and not dask" \
	  --ignore=tests/python/test_cli.py'

sanitize-thread:
	$(IN_ENV) sh -c 'test -f $(TSAN_DIR)/build.ninja || cmake -S . -B $(TSAN_DIR) $(SANITIZE_CONFIGURE) \
	  -DPELNOR_SANITIZE=thread -DPELNOR_MODULE_DIR=$(CURDIR)/$(TSAN_DIR)/pkg/pelnor'
	$(IN_ENV) cmake --build $(TSAN_DIR)
	$(IN_ENV) env TSAN_OPTIONS=allocator_may_return_null=1 \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -R "Concurrency|PieceCache"
	cp python/pelnor/*.py python/pelnor/*.pyi python/pelnor/sample.txt $(TSAN_DIR)/pkg/pelnor/
	cp -r python/pelnor/hf $(TSAN_DIR)/pkg/pelnor/
	$(IN_ENV) sh -c 'env PYTHONPATH=$(CURDIR)/$(TSAN_DIR)/pkg PELNOR_SANITIZED=1 PELNOR_STRESS_SECONDS=10 \
	  TSAN_OPTIONS="halt_on_error=1 die_after_fork=0" LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python/test_stress.py tests/python/test_batch.py \
	  tests/python/test_hostile.py'

# The threaded Python tests again on the free-threaded interpreter built with ThreadSanitizer
# (tools/devroot freethreaded tsan, run from its build folder), the module built with it, where
# any report fails the run. The suppressions are CPython's own for its free-threaded build; none
# names the module's code. The fork test stays out: its children start threads, which
# ThreadSanitizer does not support after a fork of a threaded process (CPython skips its own such
# tests under it), and in one of five runs it timed out there; it runs in the plain 3.14t suite.
TSAN_FT_DIR := build-tsan-python3.14t
TSAN_FT_ROOT := /opt/python3.14t-tsan
sanitize-thread-3.14t:
	tools/devroot freethreaded tsan
	$(IN_ENV) sh -c 'test -f $(TSAN_FT_DIR)/build.ninja || cmake -S . -B $(TSAN_FT_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNOR_BENCH=OFF -DPELNOR_TESTS=OFF -DPELNOR_WERROR=ON \
	  -DPELNOR_CHECKED=ON -DPELNOR_SANITIZE=thread -DPython_EXECUTABLE=$(TSAN_FT_ROOT)/python \
	  -DPELNOR_MODULE_DIR=$(CURDIR)/$(TSAN_FT_DIR)/pkg/pelnor'
	$(IN_ENV) cmake --build $(TSAN_FT_DIR)
	cp python/pelnor/*.py python/pelnor/*.pyi python/pelnor/sample.txt $(TSAN_FT_DIR)/pkg/pelnor/
	cp -r python/pelnor/hf $(TSAN_FT_DIR)/pkg/pelnor/
	$(IN_ENV) env PYTHONPATH=$(CURDIR)/$(TSAN_FT_DIR)/pkg:$(TSAN_FT_ROOT)/root-packages \
	  PELNOR_SANITIZED=1 PELNOR_STRESS_SECONDS=10 TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 \
	  suppressions=$(TSAN_FT_ROOT)/Tools/tsan/suppressions_free_threading.txt" \
	  $(TSAN_FT_ROOT)/python -m pytest -q -p no:cacheprovider tests/python/test_stress.py \
	  tests/python/test_batch.py tests/python/test_hostile.py tests/python/test_module.py \
	  -k "not fork"

# Every libFuzzer target for FUZZ_SECONDS, from its committed seed corpus (new inputs are kept
# in the build folder, not in the repository).
FUZZ_DIR := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := parsers pretok merge decode
fuzz:
	$(IN_ENV) sh -c 'test -f $(FUZZ_DIR)/build.ninja || cmake -S . -B $(FUZZ_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DPELNOR_FUZZ=ON \
	  -DPELNOR_SANITIZE=address,undefined -DPELNOR_TESTS=OFF -DPELNOR_BENCH=OFF \
	  -DPELNOR_PYTHON_MODULE=OFF'
	$(IN_ENV) cmake --build $(FUZZ_DIR)
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t && cp fuzz/corpus/$$t/* $(FUZZ_DIR)/corpus/$$t/ && \
	  $(IN_ENV) $(FUZZ_DIR)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus/$$t || exit 1; \
	done

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(TSAN_FT_DIR) $(FUZZ_DIR)
