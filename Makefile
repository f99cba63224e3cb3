# make test  - build the module into .venv and run the test suite
# make demo  - build the module and run the demo on generated data
# make bench - build the module and run the benchmarks
# ZELT_WERROR=ON turns compiler warnings into errors (set by CI).
VENV       := .venv
PY         := $(VENV)/bin/python
ZELT_WERROR ?= OFF
BUILD_DIR  := build/release

.PHONY: test demo bench build venv clean

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
	$(PY) benchmarks/run.py

clean:
	rm -rf build $(VENV)
