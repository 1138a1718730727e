# The commands a person types. `make test` is what CI runs.
PYTHON ?= python3
BUILD  ?= build/dev
JOBS   ?= 2
PIP    := $(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation

.PHONY: all bootstrap build cpp-test install test demo bench clean

all: build

bootstrap:
	@scripts/bootstrap

# Core library, extension and C++ tests in one CMake tree.
build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=ON -DVORN_BUILD_EXTENSION=ON -DVORN_SANITIZE=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

cpp-test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The distribution as a user gets it: `pip install .`.
install: bootstrap
	@$(PIP) .

test: cpp-test install
	@$(PYTHON) -m pytest -q tests/python tests/toolkit

# The growth model through the `vorn` command (run as a module, so that it
# works before the shell has picked up the new console script).
demo: install
	@$(PYTHON) -m vornkit run --rule "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}" \
	  --init "{{1,2},{1,3}}" --steps 100000 --plot hypergraph.png --growth growth.png

bench: install
	@$(PYTHON) benchmarks/bench.py

clean:
	rm -rf build
