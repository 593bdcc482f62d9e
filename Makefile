# Two commands for a newcomer: `make demo` and `make test`. Both create .venv,
# install the development tools pinned in requirements-dev.txt, then build the
# package (and, where GoogleTest is installed, the C++ unit tests) in
# build/wheel and install it into .venv.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-installed
BUILD  := build
JOBS   ?= 2
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.PHONY: demo test install gtest cpp-test py-test typecheck bench bench-instructions sanitize fuzz wheel mutants clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(DEPS): requirements-dev.txt | $(VPY)
	$(VPY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

install: $(DEPS)
	$(VPY) -m pip install --quiet --disable-pip-version-check --no-build-isolation \
	  --config-settings=build-dir=$(BUILD)/wheel \
	  --config-settings=cmake.define.MHDC_BUILD_TESTS=AUTO .

demo: install
	$(VPY) examples/quickstart.py

# GoogleTest comes from the distribution's libgtest-dev package.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing libgtest-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	  else \
	    echo "GoogleTest is missing: run 'sudo apt-get install libgtest-dev' and retry" >&2; exit 1; \
	  fi; \
	fi

cpp-test: gtest install
	ctest --test-dir $(BUILD)/wheel --output-on-failure --no-tests=error -j $(JOBS)

# pytest exits 5 when it collects nothing; that is not a failure of the build.
py-test: install
	$(VPY) -m pytest -q -p no:cacheprovider; rc=$$?; [ $$rc -eq 5 ] && rc=0; exit $$rc

typecheck: install
	bash tools/typecheck.sh

test: gtest install cpp-test py-test typecheck

bench: install
	$(VPY) benchmarks/run.py

bench-instructions: install
	$(VPY) benchmarks/instructions.py

sanitize: $(DEPS)
	bash tools/sanitize.sh

fuzz: install
	bash tools/fuzz.sh

wheel: $(DEPS)
	bash tools/wheel_smoke.sh

# Mutation testing, not part of `make test`: e.g. make mutants MUTANTS_FLAGS="--sample 130 --seed 1".
# universalmutator only generates the mutants, from a venv of its own.
MUT_VENV := .venv-mutants
$(MUT_VENV)/bin/mutate:
	$(PYTHON) -m venv $(MUT_VENV)
	$(MUT_VENV)/bin/pip install --quiet --disable-pip-version-check universalmutator==1.14.1

mutants: gtest install $(MUT_VENV)/bin/mutate
	$(PYTHON) tools/mutants.py $(MUTANTS_FLAGS)

clean:
	rm -rf $(BUILD)
