# Two commands for a newcomer: `make demo` and `make test`. Both create .venv,
# install the development tools pinned in requirements-dev.txt, build and
# install the package into it.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-installed
BUILD  := build
JOBS   ?= 2

.PHONY: demo test install cpp-test py-test gtest bench clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(DEPS): requirements-dev.txt | $(VPY)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet -r requirements-dev.txt
	touch $@

install: $(DEPS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	  $(VPY) -m pip install --quiet --no-build-isolation \
	  --config-settings=build-dir=$(BUILD)/wheel .

demo: install
	$(VPY) examples/quickstart.py

# GoogleTest comes from the distribution's libgtest-dev package.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing libgtest-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "GoogleTest is missing: run 'sudo apt-get install libgtest-dev' and retry" >&2; exit 1; \
	  fi; \
	fi

cpp-test: gtest $(DEPS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BUILD)/cpp -G Ninja \
	  -DMHDC_BUILD_TESTS=ON -DMHDC_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BUILD)/cpp -j $(JOBS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

# pytest exits 5 when it collects nothing; that is not a failure of the build.
py-test: install
	$(VPY) -m pytest -q -p no:cacheprovider; rc=$$?; [ $$rc -eq 5 ] && rc=0; exit $$rc

test: cpp-test py-test

bench: install
	$(VPY) benchmarks/run.py

clean:
	rm -rf $(BUILD)
