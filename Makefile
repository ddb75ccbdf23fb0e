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
SOURCES := $(filter-out src/pelnor/unicode_tables.cpp,\
  $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp'))

.PHONY: all build test test-cpp test-python demo data format lint clean sanitize bench

all: build

build:
	$(IN_ENV) sh -c 'test -f $(BUILD_DIR)/build.ninja || $(CMAKE_CONFIGURE)'
	$(IN_ENV) cmake --build $(BUILD_DIR)

test: build test-cpp test-python

test-cpp:
	$(IN_ENV) ctest --test-dir $(BUILD_DIR) --output-on-failure --timeout 600

test-python:
	$(IN_ENV) $(PYTHON) -m pytest -q tests/python

demo: build
	$(IN_ENV) $(PYTHON) -m pelnor count python/pelnor/sample.txt README.md
	$(IN_ENV) $(PYTHON) -m pelnor bench python/pelnor/sample.txt

# Regenerates data/ from ../shared/data (the published rank tables and the UCD).
data:
	$(IN_ENV) $(PYTHON) tools/gen_data.py

format:
	$(IN_ENV) clang-format -i $(SOURCES)

lint: build
	$(IN_ENV) clang-format --dry-run --Werror $(SOURCES)
	$(IN_ENV) clang-tidy -p $(BUILD_DIR) --quiet $(filter %.cpp,$(SOURCES))

bench: build
	$(IN_ENV) $(BUILD_DIR)/bench/pelnor_core_bench --benchmark_min_time=0.2s
	$(IN_ENV) $(PYTHON) bench/bench_api.py

# The C++ tests and the Python suite under AddressSanitizer and UndefinedBehaviorSanitizer (the
# interpreter is not instrumented, so the runtime is preloaded), then the concurrency tests
# under ThreadSanitizer.
ASAN_DIR := build-asan
TSAN_DIR := build-tsan
SANITIZE_CONFIGURE := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNOR_BENCH=OFF -DPELNOR_WERROR=ON $(PYTHON_HINT)
sanitize:
	$(IN_ENV) sh -c 'test -f $(ASAN_DIR)/build.ninja || cmake -S . -B $(ASAN_DIR) $(SANITIZE_CONFIGURE) \
	  -DPELNOR_SANITIZE=address,undefined -DPELNOR_MODULE_DIR=$(CURDIR)/$(ASAN_DIR)/pkg/pelnor'
	$(IN_ENV) cmake --build $(ASAN_DIR)
	$(IN_ENV) env ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_DIR) --output-on-failure
	cp python/pelnor/*.py python/pelnor/*.pyi python/pelnor/sample.txt $(ASAN_DIR)/pkg/pelnor/
	$(IN_ENV) sh -c 'env PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/pkg ASAN_OPTIONS=detect_leaks=0 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python -k "not pip_install and not dask"'
	$(IN_ENV) sh -c 'test -f $(TSAN_DIR)/build.ninja || cmake -S . -B $(TSAN_DIR) $(SANITIZE_CONFIGURE) \
	  -DPELNOR_SANITIZE=thread -DPELNOR_PYTHON_MODULE=OFF'
	$(IN_ENV) cmake --build $(TSAN_DIR)
	$(IN_ENV) ctest --test-dir $(TSAN_DIR) --output-on-failure -R "Concurrency|PieceCache"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)
