# Two entry points for users: `make test` and `make demo`. Everything they need is set
# up on first use and reused afterwards.
SHELL := /bin/bash
PYTHON_CANDIDATES := python3.13 python3
PYTHON ?= $(shell for p in $(PYTHON_CANDIDATES); do if $$p -c 'import sys' >/dev/null 2>&1; then echo $$p; break; fi; done)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build/dev
JOBS ?= $(shell nproc)
export PYTHONPATH := $(CURDIR)/python:$(CURDIR)/$(BUILD)

SOURCES := $(shell find src tests/cpp -type f 2>/dev/null) CMakeLists.txt

.PHONY: test demo build sysdeps venv cpp-test py-test sanitize tsan fuzz bench clean

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(VPY) -m pytest -q

sysdeps: $(VENV)/.sysdeps
$(VENV)/.sysdeps:
	@missing=""; \
	[ -f /usr/include/expat.h ] || missing="$$missing libexpat1-dev"; \
	[ -d /usr/src/googletest ] || [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -n "$$(find /usr/lib -name GTestConfig.cmake 2>/dev/null | head -1)" ] || missing="$$missing googletest libgtest-dev"; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@mkdir -p $(VENV) && touch $@

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml $(VENV)/.sysdeps
	@test -n "$(PYTHON)" || { echo "no python3 found"; exit 1; }
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -c 'import tomllib; d = tomllib.load(open("pyproject.toml", "rb")); p = d["project"]; \
	  print("\n".join(["cmake", "ninja"] + d["build-system"]["requires"] + p["dependencies"] + \
	  [x for g in p["optional-dependencies"].values() for x in g]))' > $(VENV)/requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/requirements.txt
	touch $@

build: $(BUILD)/.built
$(BUILD)/.built: $(VENV)/.ready $(SOURCES)
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUORVEL_BUILD_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(VPY) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)
	touch $@

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_BUILD_PYTHON=OFF \
	  -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_SANITIZE=address,undefined >/dev/null
	$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS)

# The native channel's tests under ThreadSanitizer.
tsan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_BUILD_PYTHON=OFF \
	  -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_SANITIZE=thread >/dev/null
	$(VENV)/bin/cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 build/tsan/quorvel_tests --gtest_filter='Sync*:Channel*'

bench: build
	for b in bench/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build
