# Two commands for a fresh machine: `make demo` and `make test`.
# Each provisions what is missing (CPython 3.14, the C++ test libraries, .venv/).
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2
SANITIZERS := plain thread address
# The core's tests run in each sanitizer build and once more with the
# sleeping of non-Linux systems (std::atomic wait/notify in place of
# futexes, as macOS builds it), so that path is built and tested here.
CORE_VARIANTS := $(SANITIZERS) portable
CORE_FLAGS_portable := -DCORVALUNE_PORTABLE_WAIT=ON

.PHONY: all demo test bench bench-wakeup install wheel venv bootstrap core-tests py-tests py-tests-sanitized leak-check soak clean \
	$(addprefix core-test-,$(CORE_VARIANTS)) py-tests-address py-tests-thread

all: test

bootstrap:
	@tools/bootstrap.sh

# Builds the extension and installs the package into .venv/.
install: bootstrap
	@$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@$(PY) -c 'import corvalune, _corvalune_sys'

# The sdist and, built from it, the wheel, as `pip` users get them (isolated
# build with its requirements from PyPI), in dist/.
wheel: bootstrap
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m build --outdir dist .

demo: install
	$(PY) -m corvalune

# A virtual environment of your own at DIR, layered over .venv/: corvalune
# as built here, plus whatever DIR/bin/pip installs. `make venv DIR=~/envs/x`
venv: install
	@test -n "$(DIR)" || { echo "usage: make venv DIR=path" >&2; exit 2; }
	@tools/make-venv.sh --layered "$(DIR)"

test: core-tests py-tests py-tests-sanitized leak-check

core-tests: $(addprefix core-test-,$(CORE_VARIANTS))

$(addprefix core-test-,$(CORE_VARIANTS)): core-test-%: bootstrap
	@echo "== core tests ($*)"
	@$(CMAKE) -S . -B build/core-$* -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALUNE_BUILD_EXTENSION=OFF -DCORVALUNE_BUILD_TESTS=ON \
	  -DCORVALUNE_WERROR=ON -Wno-deprecated -DCORVALUNE_SANITIZE=$(filter thread address,$*) $(CORE_FLAGS_$*) >/dev/null
	@$(CMAKE) --build build/core-$* -j $(JOBS)
	@tools/run-sanitized.sh $* build/core-$*/corvalune-core/corvalune_core_tests

py-tests: install
	@echo "== type check (mypy --strict)"
	@$(PY) -m mypy --strict --cache-dir build/mypy-cache tests/typing/example.py python/corvalune/dask.py
	@echo "== python tests"
	@$(PY) -m pytest -q tests

# The Python tests against the extension built with a sanitizer: address
# (with UndefinedBehaviorSanitizer) and thread. The interpreter is not
# instrumented, so the runtime is preloaded into it and into every child
# interpreter a test starts (they inherit the environment); PYTHONMALLOC=malloc
# puts Python's objects under the sanitizer's allocator. Any report aborts the
# process that made it, which fails the run, or the test whose child it was.
# Leak detection is off (an interpreter keeps much of its memory until exit by
# design), and so are thread-leak reports (pool threads are never joined).
# Left out: the fork tests (the sanitizers' allocators are not fork-safe with
# threads: a forked child's new threads can block on their locks) and the exit
# test, whose 200 instrumented children would take minutes; and the wheel
# test, which builds the release wheel and has nothing instrumented to check.
py-tests-sanitized: py-tests-address py-tests-thread

SAN_RUNTIME_address = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SAN_RUNTIME_thread = $(shell g++ -print-file-name=libtsan.so)
SAN_ENV_address = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
SAN_ENV_thread = TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 report_thread_leaks=0 second_deadlock_stack=1 suppressions=$(CURDIR)/tools/tsan.supp"
# ThreadSanitizer's fixed shadow mappings need address randomisation off.
SAN_WRAP_thread = $(if $(shell command -v setarch),setarch $(shell uname -m) -R)

py-tests-address py-tests-thread: py-tests-%: bootstrap
	@echo "== python tests ($*)"
	@$(CMAKE) -S . -B build/py-$* -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) -DCORVALUNE_SANITIZE=$* \
	  -Wno-deprecated >/dev/null
	@$(CMAKE) --build build/py-$* -j $(JOBS)
	@export LD_PRELOAD="$(SAN_RUNTIME_$*)" PYTHONMALLOC=malloc $(SAN_ENV_$*) \
	    PYTHONPATH=$(CURDIR)/build/py-$*/corvalune-sys:$(CURDIR)/python && \
	  $(SAN_WRAP_$*) $(PY) -c 'import _corvalune_sys, corvalune; assert _corvalune_sys.__file__.startswith("$(CURDIR)/build/py-$*/") and corvalune.__file__.startswith("$(CURDIR)/python/"), (_corvalune_sys.__file__, corvalune.__file__)' && \
	  $(SAN_WRAP_$*) $(PY) -m pytest -q -p no:cacheprovider tests --ignore=tests/test_fork.py --ignore=tests/test_exit.py \
	    --ignore=tests/test_wheel.py

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
	@$(MAKE) --no-print-directory bench-wakeup

# The wake-up latency distribution: submission to an idle pool, and the news
# of a job's end to a blocked caller (bench/wakeup.py).
bench-wakeup: install
	$(PY) bench/wakeup.py

clean:
	rm -rf build
