# make test  - build the module into .venv and run the test suite
# make demo  - build the module and run the demo on generated data
# make bench - build the module, install the benchmark's peers and run the benchmarks
# ZELT_WERROR=ON turns compiler warnings into errors (set by CI).
VENV       := .venv
PY         := $(VENV)/bin/python
ZELT_WERROR ?= OFF
BUILD_DIR  := build/release

.PHONY: test test-sanitize demo bench build venv clean

venv: $(VENV)/.deps-installed

$(VENV)/.deps-installed: requirements-dev.txt
	@test -x $(PY) || "$$(scripts/find-python39)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

build: venv
	$(PY) -m pip install -q --no-build-isolation --no-deps . \
	    -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.ZELT_WERROR=$(ZELT_WERROR)

test: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) examples/demo.py

bench: build
	$(PY) -m pip install -q -r requirements-bench.txt
	$(VENV)/bin/cmake --build $(BUILD_DIR) --target floor_energy
	$(PY) benchmarks/run.py

clean:
	rm -rf build $(VENV)

# Whole test suite against an AddressSanitizer + UBSan build of the module
# (any report aborts the run). The ASan runtime is preloaded into CPython;
# leak detection is off because the interpreter itself never frees everything;
# a failed malloc returns null so that Eigen reports it as MemoryError.
ASAN_DIR := build/asan
test-sanitize: venv
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DZELT_SANITIZE=ON -DZELT_WERROR=$(ZELT_WERROR) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ZELT_SANITIZED=1 PYTHONPATH=$(abspath $(ASAN_DIR)) \
	$(PY) -m pytest -q -p no:cacheprovider tests
