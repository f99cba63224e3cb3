# make test  - build the module into .venv and run the test suite
# make demo  - build the module and run the demo on generated data (installs only
#              the build back-end, the runtime and matplotlib)
# make docs  - build the documentation site into build/docs (warnings are errors;
#              open build/docs/index.html) and check the built pages
# make bench - build the module, install the benchmark's peers and run the benchmarks
# make wheel - build the sdist, a CPython 3.9 wheel from it, and repair that wheel
#              so that it carries its OpenMP runtime (auditwheel; no containers)
# make wheels - the same for every CPython in WHEEL_PYS (3.9 to 3.13), into dist/
# make test-wheel - install the repaired wheel apart from the development build
#              and run the whole test suite of the sdist against it
#              (PYV=3.13: the 3.13 wheel, in a venv of that interpreter)
# make test-wheels - every wheel in a fresh venv of its interpreter: a smoke fit,
#              the same bits everywhere, and the refusal of other interpreters
# ZELT_WERROR=ON turns compiler warnings into errors (set by CI).
VENV       := .venv
PY         := $(VENV)/bin/python
ZELT_WERROR ?= OFF
BUILD_DIR  := build/release

.PRECIOUS: build/venv-%/.build-installed build/venv-%/.deps-installed
.PHONY: sdist test test-sanitize test-wheel test-wheels wheel wheels demo docs bench build build-demo venv venv-demo clean

venv: $(VENV)/.deps-installed
venv-demo: $(VENV)/.demo-installed

$(VENV)/.build-installed: requirements-build.txt
	@test -x $(PY) || "$$(scripts/find-python 3.9)" -m venv $(VENV)
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
	ZELT_DOCS_HTML=$(abspath build/docs) $(PY) -m pytest -q -p no:cacheprovider tests/test_built_docs.py

bench: build
	$(PY) -m pip install -q -r requirements-bench.txt
	$(VENV)/bin/cmake --build $(BUILD_DIR) --target floor_energy
	$(PY) benchmarks/run.py

clean:
	rm -rf build dist $(VENV)

# The wheels are built from the unpacked sdist, which checks that the sdist holds
# what a source build needs, each by its own interpreter (3.9: the development
# venv; the others: build/venv-X.Y with the pinned build requirements), so each
# module is compiled for one interpreter and refuses the others at import.
# auditwheel copies libgomp into each wheel (zelt_core.libs/) and points the
# module at it, for machines without GCC's runtime. The platform tag is the
# oldest glibc this machine's build allows.
WHEEL_PYS := 3.9 3.10 3.11 3.12 3.13
WHEEL_SRC := build/wheel-src
PYV       ?= 3.9
pyvenv     = $(if $(filter 3.9,$(1)),$(VENV),build/venv-$(1))

build/venv-%/.build-installed: requirements-build.txt
	@test -x build/venv-$*/bin/python || "$$(scripts/find-python $*)" -m venv build/venv-$*
	build/venv-$*/bin/python -m pip install -q -r requirements-build.txt
	@touch $@

build/venv-%/.deps-installed: requirements-dev.txt requirements-demo.txt build/venv-%/.build-installed
	build/venv-$*/bin/python -m pip install -q -r requirements-dev.txt
	@touch $@

sdist: venv
	rm -rf dist $(WHEEL_SRC) build/wheel-raw
	$(PY) -m build --sdist --no-isolation --outdir dist . >/dev/null
	mkdir -p $(WHEEL_SRC)
	tar -xzf dist/zelt_core-*.tar.gz -C $(WHEEL_SRC) --strip-components=1

# wheel-X.Y: one interpreter's wheel from the unpacked sdist (after `sdist`)
wheel-%:
	@if [ "$*" != 3.9 ]; then $(MAKE) --no-print-directory build/venv-$*/.build-installed; fi
	$(call pyvenv,$*)/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-raw ./$(WHEEL_SRC) \
	    --config-settings=build-dir=build/wheel-$* --config-settings=cmake.define.ZELT_WERROR=$(ZELT_WERROR)
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w dist \
	    build/wheel-raw/zelt_core-*-cp$(subst .,,$*)-*linux_*.whl

wheel: sdist
	$(MAKE) --no-print-directory wheel-3.9
	@ls dist

wheels: sdist
	for v in $(WHEEL_PYS); do $(MAKE) --no-print-directory wheel-$$v || exit 1; done
	@ls dist

# The suite of the sdist, run outside the source tree against the wheel of
# CPython $(PYV) installed into its own directory (first on the path, ahead of
# any development build); ZELT_WHEEL=1 makes the suite check that the wheel's
# module and its bundled OpenMP runtime are the ones loaded. It builds the wheel
# only if dist/ has none for $(PYV).
WHEEL_SITE = build/wheel-site-$(PYV)
WHEEL_FILE = $(firstword $(wildcard dist/zelt_core-*-cp$(subst .,,$(PYV))-*manylinux*.whl))
test-wheel: venv $(if $(filter 3.9,$(PYV)),,build/venv-$(PYV)/.deps-installed)
	@test -n "$(WHEEL_FILE)" || { $(MAKE) --no-print-directory sdist && $(MAKE) --no-print-directory wheel-$(PYV); }
	rm -rf $(WHEEL_SITE)
	w="$$(ls dist/zelt_core-*-cp$(subst .,,$(PYV))-*manylinux*.whl)"; \
	$(call pyvenv,$(PYV))/bin/python -m pip install -q --no-deps --target $(WHEEL_SITE) "$$w" && \
	cd $(WHEEL_SRC) && ZELT_WHEEL=1 PYTHONPATH=$(abspath $(WHEEL_SITE)) ZELT_BUILD_DIR=$(abspath $(WHEEL_SRC)/build/wheel-$(PYV)) \
	    ZELT_WHEEL_FILE="$(abspath .)/$$w" \
	    $(abspath $(call pyvenv,$(PYV)))/bin/python -m pytest -q -p no:cacheprovider tests

# Every wheel in dist/ installed with its dependencies from the index into a
# fresh venv of its interpreter (tests/test_wheels.py).
test-wheels: venv
	ZELT_WHEELS_DIR=$(abspath dist) $(PY) -m pytest -q -p no:cacheprovider tests/test_wheels.py

# Whole test suite against an AddressSanitizer + UBSan build of the module
# (any report aborts the run). The ASan runtime is preloaded into CPython;
# leak detection is off because the interpreter itself never frees everything;
# a failed malloc returns null so that Eigen reports it as MemoryError.
# zelt_fit runs from a copy of src/zelt_fit beside the sanitized _kernel.
ASAN_DIR := build/asan
test-sanitize: venv
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DZELT_SANITIZE=ON -DZELT_WERROR=$(ZELT_WERROR) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	rm -rf $(ASAN_DIR)/site && mkdir -p $(ASAN_DIR)/site && cp -r src/zelt_fit $(ASAN_DIR)/site/ && \
	    cp $(ASAN_DIR)/_kernel*.so $(ASAN_DIR)/site/zelt_fit/
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ZELT_SANITIZED=1 PYTHONPATH=$(abspath $(ASAN_DIR)):$(abspath $(ASAN_DIR))/site ZELT_BUILD_DIR=$(abspath $(ASAN_DIR)) \
	$(PY) -m pytest -q -p no:cacheprovider tests
