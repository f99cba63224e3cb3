# make test  - build the module into .venv and run the test suite
# make demo  - build the module and run the demo on generated data (installs only
#              the build back-end, the runtime and matplotlib)
# make docs  - build the documentation site into build/docs (warnings are errors)
# make bench - build the module, install the benchmark's peers and run the benchmarks
# make wheel - build the sdist, a wheel from it, and repair that wheel so that it
#              carries its OpenMP runtime (auditwheel; no containers)
# make test-wheel - install the repaired wheel apart from the development build
#              and run the whole test suite of the sdist against it
# ZELT_WERROR=ON turns compiler warnings into errors (set by CI).
VENV       := .venv
PY         := $(VENV)/bin/python
ZELT_WERROR ?= OFF
BUILD_DIR  := build/release

.PHONY: test test-sanitize test-wheel wheel demo docs bench build build-demo venv venv-demo clean

venv: $(VENV)/.deps-installed
venv-demo: $(VENV)/.demo-installed

$(VENV)/.build-installed: requirements-build.txt
	@test -x $(PY) || "$$(scripts/find-python39)" -m venv $(VENV)
	$(PY) -m pip install -q -r requirements-build.txt
	@touch $@

# The runtime and matplotlib install while the module compiles (the build needs
# only the back-end): a first demo on a fresh clone waits for the compiler alone.
$(VENV)/.demo-installed: requirements-demo.txt $(VENV)/.build-installed
	$(PY) -m pip install -q -r requirements-demo.txt
	@touch $@

$(VENV)/.deps-installed: requirements-dev.txt requirements-demo.txt requirements-build.txt $(VENV)/.demo-installed
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

INSTALL = $(PY) -m pip install -q --no-build-isolation --no-deps . \
	    --config-settings=build-dir=$(BUILD_DIR) --config-settings=cmake.define.ZELT_WERROR=$(ZELT_WERROR)

build: venv
	$(INSTALL)

build-demo: $(VENV)/.build-installed
	@$(MAKE) --no-print-directory $(VENV)/.demo-installed & deps=$$!; \
	$(INSTALL); built=$$?; wait $$deps && exit $$built

# ZELT_BUILD_DIR: the build tree in which the suite builds and runs the native
# checks (tests/native, through ctest), so that they share the module's flags.
test: build
	ZELT_BUILD_DIR=$(abspath $(BUILD_DIR)) $(PY) -m pytest -q tests

demo: build-demo
	$(PY) examples/demo.py

docs: build
	$(PY) -m pip install -q -r requirements-docs.txt
	$(PY) -m sphinx -W --keep-going -q -b html docs build/docs

bench: build
	$(PY) -m pip install -q -r requirements-bench.txt
	$(VENV)/bin/cmake --build $(BUILD_DIR) --target floor_energy
	$(PY) benchmarks/run.py

clean:
	rm -rf build dist $(VENV)

# The wheel is built from the unpacked sdist, which checks that the sdist holds
# what a source build needs; auditwheel copies libgomp into the wheel
# (zelt_core.libs/) and points the module at it, for machines without GCC's
# runtime. The platform tag is the oldest glibc this machine's build allows.
WHEEL_SRC := build/wheel-src
wheel: venv
	rm -rf dist $(WHEEL_SRC) build/wheel-raw
	$(PY) -m build --sdist --no-isolation --outdir dist . >/dev/null
	mkdir -p $(WHEEL_SRC)
	tar -xzf dist/zelt_core-*.tar.gz -C $(WHEEL_SRC) --strip-components=1
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-raw ./$(WHEEL_SRC) \
	    -Cbuild-dir=build/wheel -Ccmake.define.ZELT_WERROR=$(ZELT_WERROR)
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel-raw/zelt_core-*.whl
	@ls dist

# The suite of the sdist, run outside the source tree against the wheel
# installed into its own directory (first on the path, ahead of the development
# build); ZELT_WHEEL=1 makes the suite check that the wheel's module and its
# bundled OpenMP runtime are the ones loaded.
WHEEL_SITE := build/wheel-site
test-wheel: wheel
	rm -rf $(WHEEL_SITE)
	$(PY) -m pip install -q --no-deps --target $(WHEEL_SITE) dist/zelt_core-*manylinux*.whl
	cd $(WHEEL_SRC) && ZELT_WHEEL=1 PYTHONPATH=$(abspath $(WHEEL_SITE)) ZELT_BUILD_DIR=$(abspath $(WHEEL_SRC)/build/wheel) \
	    ZELT_WHEEL_FILE="$$(ls $(abspath dist)/zelt_core-*manylinux*.whl)" \
	    $(abspath $(PY)) -m pytest -q -p no:cacheprovider tests

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
	ZELT_SANITIZED=1 PYTHONPATH=$(abspath $(ASAN_DIR)):$(abspath src) ZELT_BUILD_DIR=$(abspath $(ASAN_DIR)) \
	$(PY) -m pytest -q -p no:cacheprovider tests
