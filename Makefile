# Two commands for a newcomer: `make demo` and `make test`. Both create .venv and build
# the package in build/wheel. `make demo` installs only the build tools
# (requirements-build.txt); `make test` installs the development tools
# (requirements-dev.txt) and also builds and runs the C++ unit tests, with GoogleTest
# found or fetched by tools/gtest.sh.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip install --quiet --disable-pip-version-check
BUILD  := build
JOBS   ?= 2
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.PHONY: demo test install install-dev gtest cpp-test py-test typecheck test-matrix bench bench-instructions \
        sanitize fuzz wheel mutants clean

# A venv whose pip does not run (the distribution's venv package missing) is removed,
# so a later run starts again instead of building on half a venv.
$(VENV)/.created:
	@rm -rf $(VENV)
	@$(PYTHON) -m venv $(VENV) && $(VPY) -m pip --version >/dev/null 2>&1 || { rm -rf $(VENV); \
	  echo "make: '$(PYTHON) -m venv' made no working venv (on Debian or Ubuntu: apt-get install python3-venv)" >&2; \
	  exit 1; }
	@touch $@

$(VENV)/.build-tools: requirements-build.txt | $(VENV)/.created
	$(PIP) -r requirements-build.txt
	touch $@

$(VENV)/.dev-tools: requirements-dev.txt requirements-build.txt | $(VENV)/.created
	$(PIP) -r requirements-dev.txt
	touch $@

# The package alone: `pip install .` never builds the C++ tests.
install: $(VENV)/.build-tools
	$(PIP) --no-build-isolation --config-settings=build-dir=$(BUILD)/wheel \
	  --config-settings=cmake.define.MHDC_BUILD_TESTS=OFF .

demo: install
	$(VPY) examples/quickstart.py

gtest:
	@bash tools/gtest.sh

# The package and, where GoogleTest is there, the C++ tests in the same build; for the
# benchmarks also their native code (benchmarks/native), into $(BUILD)/wheel/bench.
BENCH ?= OFF
install-dev: $(VENV)/.dev-tools gtest
	prefix=$$(cat $(BUILD)/gtest/found); tests=ON; [ "$$prefix" = none ] && tests=OFF; \
	CMAKE_PREFIX_PATH=$$prefix $(PIP) --no-build-isolation --config-settings=build-dir=$(BUILD)/wheel \
	  --config-settings=cmake.define.MHDC_BUILD_TESTS=$$tests --config-settings=cmake.define.MHDC_BUILD_BENCH=$(BENCH) .

cpp-test: install-dev
	@if [ "$$(cat $(BUILD)/gtest/found)" = none ]; then \
	  echo "cpp-test: skipped, GoogleTest is neither installed nor obtainable here"; \
	else ctest --test-dir $(BUILD)/wheel --output-on-failure --no-tests=error -j $(JOBS); fi

# pytest exits 5 when it collects nothing; that is not a failure of the build.
py-test: install-dev
	$(VPY) -m pytest -q -p no:cacheprovider; rc=$$?; [ $$rc -eq 5 ] && rc=0; exit $$rc

typecheck: install-dev
	bash tools/typecheck.sh

test: cpp-test py-test typecheck

# A wheel, pytest, mypy and stubtest on every Python from 3.9 to 3.13 found here.
test-matrix:
	bash tools/test_matrix.sh

bench bench-instructions: BENCH = ON
bench bench-instructions: export MHDC_BENCH_DIR = $(abspath $(BUILD))/wheel/bench

bench: install-dev
	$(VPY) benchmarks/run.py

bench-instructions: install-dev
	$(VPY) benchmarks/instructions.py

sanitize: $(VENV)/.dev-tools
	bash tools/sanitize.sh

fuzz: install-dev
	bash tools/fuzz.sh

wheel: $(VENV)/.dev-tools
	bash tools/wheel_smoke.sh

# Mutation testing, not part of `make test`: e.g. make mutants MUTANTS_FLAGS="--sample 130 --seed 1".
# universalmutator only generates the mutants, from a venv of its own.
MUT_VENV := .venv-mutants
$(MUT_VENV)/bin/mutate:
	$(PYTHON) -m venv $(MUT_VENV)
	$(MUT_VENV)/bin/pip install --quiet --disable-pip-version-check universalmutator==1.14.1

mutants: install-dev $(MUT_VENV)/bin/mutate
	CMAKE_PREFIX_PATH=$$(cat $(BUILD)/gtest/found) $(PYTHON) tools/mutants.py $(MUTANTS_FLAGS)

clean:
	rm -rf $(BUILD)
