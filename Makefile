# Two commands for a fresh machine: `make demo` and `make test`.
# Each provisions what is missing (CPython 3.14, the C++ test libraries, .venv/).
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2
SANITIZERS := plain thread address

.PHONY: all demo test bench install bootstrap core-tests py-tests leak-check soak clean $(addprefix core-test-,$(SANITIZERS))

all: test

bootstrap:
	@tools/bootstrap.sh

# Builds the extension and installs the package into .venv/.
install: bootstrap
	@$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@$(PY) -c 'import corvalune, _corvalune_sys'

demo: install
	$(PY) -m corvalune

test: core-tests py-tests leak-check

core-tests: $(addprefix core-test-,$(SANITIZERS))

$(addprefix core-test-,$(SANITIZERS)): core-test-%: bootstrap
	@echo "== core tests ($*)"
	@$(CMAKE) -S . -B build/core-$* -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALUNE_BUILD_EXTENSION=OFF -DCORVALUNE_BUILD_TESTS=ON \
	  -DCORVALUNE_WERROR=ON -Wno-deprecated -DCORVALUNE_SANITIZE=$(if $(filter plain,$*),,$*) >/dev/null
	@$(CMAKE) --build build/core-$* -j $(JOBS)
	@tools/run-sanitized.sh $* build/core-$*/corvalune-core/corvalune_core_tests

py-tests: install
	@echo "== type check (mypy --strict)"
	@$(PY) -m mypy --strict --cache-dir build/mypy-cache tests/typing/example.py
	@echo "== python tests"
	@$(PY) -m pytest -q tests

# Reference leaks: every entry point run 10,000 times under the debug
# interpreter (python3.14d), with the extension built for it.
leak-check: bootstrap
	@echo "== reference leaks (python3.14d)"
	@dbg=$$(WITH_DEBUG_PYTHON=1 tools/provision-python.sh) && \
	  $(CMAKE) -S . -B build/dbg -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$$dbg -Wno-deprecated >/dev/null && \
	  $(CMAKE) --build build/dbg -j $(JOBS) >/dev/null && \
	  PYTHONPATH=build/dbg/corvalune-sys:python $$dbg tests/leaks/leak_runner.py

# A bounded 60 s mixed workload whose resident memory must stay flat.
soak: install
	$(PY) tools/soak.py --seconds 60

bench: bootstrap
	@$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DCORVALUNE_BUILD_EXTENSION=OFF -DCORVALUNE_BUILD_BENCH=ON >/dev/null
	@$(CMAKE) --build build/bench -j $(JOBS)
	build/bench/corvalune-core/corvalune_core_bench
	@$(MAKE) --no-print-directory install
	$(PY) bench/suite.py

clean:
	rm -rf build
