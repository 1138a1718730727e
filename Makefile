# The commands a person types. `make test` is what CI runs.
#
# Everything runs in the project's own virtual environment, $(VENV), made by
# `make bootstrap` from $(PYTHON): the system's Python is never changed (on
# Debian it refuses pip installs, PEP 668), and the environment sees none of
# the system's Python packages, so an undeclared dependency fails here first.
PYTHON ?= python3
VENV   ?= .venv
VPY    := $(VENV)/bin/python
BUILD  ?= build/dev
JOBS   ?= 2
PIP    := $(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation
CMAKE_PY := -DPython_EXECUTABLE=$(abspath $(VPY))

.PHONY: all bootstrap build cpp-test install test demo lint bench bench-run clean

all: build

bootstrap:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/bootstrap

# Core library, extension and C++ tests in one CMake tree.
build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=ON -DVORN_BUILD_EXTENSION=ON -DVORN_SANITIZE=OFF $(CMAKE_PY) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

cpp-test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The distribution as a user gets it: `pip install .`, with the test tools
# and the Dask and Parquet extras that the ensemble and survey tests use.
install: bootstrap
	@$(PIP) ".[test,dask,parquet]"

test: cpp-test install
	@$(VPY) -m pytest -q tests/python tests/toolkit

# The growth model through the `vorn` command (run as a module, so that it
# works before the shell has picked up the new console script).
demo: install
	@$(VPY) -m vornkit run --rule "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}" \
	  --init "{{1,2},{1,3}}" --steps 100000 --plot hypergraph.png --growth growth.png

# Lint: ruff over the Python code (its settings are in pyproject.toml) and
# clang-format over the C++ code (.clang-format); a check, never a rewrite.
RUFF ?= ruff>=0.4

lint: bootstrap
	@$(VPY) -m pip install -q --disable-pip-version-check "$(RUFF)"
	@$(VPY) -m ruff check .
	@clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

# `make bench`: install, then every benchmark against the installed build.
# `make bench-run BENCH_PYTHON=/path/to/python` measures the vorn that another
# interpreter imports, without installing. The comparison with the PyPI
# package setreplace runs when the project environment has it
# (`.venv/bin/python -m pip install setreplace`), and is skipped otherwise.
BENCH_PYTHON ?= $(VPY)

bench: install
	@$(MAKE) --no-print-directory bench-run

bench-run:
	@$(VPY) benchmarks/bench.py --python $(BENCH_PYTHON)
	@$(VPY) benchmarks/vs_setreplace.py --python $(BENCH_PYTHON)
	@$(VPY) benchmarks/instructions.py --python $(BENCH_PYTHON)

clean:
	rm -rf build

# --- Reliability ---------------------------------------------------------------
# `make sanitize`: core, C++ tests and extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the C++ tests and the whole pytest suite run
# against that build. The interpreter itself is not instrumented, so the
# sanitizer runtimes are preloaded into it, and leak detection is off for it
# (CPython does not free everything at exit), and a huge allocation returns
# null as without a sanitizer (Dask's tests read a garbage length and expect
# MemoryError); the C++ tests keep the defaults. The
# interpreter keeps its own small-object allocator: the module's allocations
# are C++ ones, which the sanitizer sees either way, and the valgrind test in
# tests/python/test_leaks.py runs with PYTHONMALLOC=malloc.
SAN_BUILD ?= build/sanitize
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SAN_UBSAN  := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
SAN_ASAN   := ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1

.PHONY: sanitize sanitize-build fuzz fuzz-build

sanitize-build: bootstrap
	@cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_TESTS=ON -DVORN_BUILD_EXTENSION=ON -DVORN_SANITIZE=ON $(CMAKE_PY) >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)

sanitize: sanitize-build
	@cd $(SAN_BUILD) && $(SAN_ASAN):detect_leaks=1 $(SAN_UBSAN) ctest --output-on-failure -j $(JOBS)
	@LD_PRELOAD="$(SAN_PRELOAD)" $(SAN_ASAN):detect_leaks=0:allocator_may_return_null=1 $(SAN_UBSAN) VORN_SANITIZED=1 \
	  PYTHONPATH="$(CURDIR)/$(SAN_BUILD):$(CURDIR)" \
	  $(VPY) -m pytest -q -p no:cacheprovider tests/python tests/toolkit

# `make fuzz`: the libFuzzer targets built with clang, ASan and UBSan in their
# own tree, then runs from the committed corpora: the engine's operations for
# two thirds of FUZZ_SECONDS, the checkpoint loader for the rest (new inputs
# go to $(FUZZ_BUILD)/new-*, not into the repository).
FUZZ_BUILD   ?= build/fuzz
FUZZ_SECONDS ?= 60
CLANGXX      ?= clang++

fuzz-build: bootstrap
	@CXX=$(CLANGXX) cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON -DVORN_SANITIZE=ON -DVORN_BUILD_EXTENSION=OFF -DVORN_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target vorn_fuzz_engine vorn_fuzz_checkpoint

# Each run's progress goes to $(FUZZ_BUILD)/<target>.log; on a failure its
# end (with the input that failed, saved under $(FUZZ_BUILD)/) is shown.
FUZZ_RUN = $(SAN_UBSAN) ASAN_OPTIONS=detect_leaks=1 $(FUZZ_BUILD)/vorn_fuzz_$(1) \
	  -max_total_time=$(2) -max_len=$(3) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	  -artifact_prefix=$(FUZZ_BUILD)/$(1)- $(FUZZ_BUILD)/new-$(1) $(4) \
	  2> $(FUZZ_BUILD)/$(1).log || { tail -n 60 $(FUZZ_BUILD)/$(1).log; exit 1; }

fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/new-engine $(FUZZ_BUILD)/new-checkpoint
	@$(call FUZZ_RUN,engine,$(shell echo $$(( $(FUZZ_SECONDS) * 2 / 3 ))),512,fuzz/corpus)
	@grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' $(FUZZ_BUILD)/engine.log
	@$(call FUZZ_RUN,checkpoint,$(shell echo $$(( $(FUZZ_SECONDS) / 3 ))),8192,fuzz/checkpoints)
	@grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' $(FUZZ_BUILD)/checkpoint.log
