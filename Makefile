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

.PHONY: all build test test-cpp test-python demo data format lint clean

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

clean:
	rm -rf $(BUILD_DIR)
