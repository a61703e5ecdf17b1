# Every target sets up what it needs, so each works on a fresh Debian 12
# machine as its only command. Stamps under build/ keep repeated runs quick.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

PYTHON3 ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
STAMPS := build/stamps
APT_PACKAGES := libroaring-dev libgtest-dev liburing-dev libxxhash-dev clang libclang-rt-14-dev
PY_TOOLS := scikit-build-core cmake ninja pytest hypothesis tqdm
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
JOBS ?= $(shell nproc)

CMAKE := $(VENV)/bin/cmake
ENGINE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	-DMARROW_BUILD_TESTS=ON -DMARROW_BUILD_MODULE=OFF

# Everything the installed package is built from.
PACKAGE_INPUTS := pyproject.toml CMakeLists.txt README.md \
	$(shell find src -type f \( -name '*.cc' -o -name '*.h' -o -name '*.py' -o -name 'py.typed' -o -name '*.pyi' -o -name '*.map' \) 2>/dev/null)

# Runs a command with its output kept in a log that is shown only on failure.
quiet = log=$$(mktemp); if ! ( $(1) ) >"$$log" 2>&1; then cat "$$log"; rm -f "$$log"; exit 1; fi; rm -f "$$log"

.PHONY: setup build engine-test engine-stress test test-parts python-test demo stress fuzz bench clean apt-packages

# Each topic (reliability, fuzzing, faults, benchmarks, the package's
# tooling) keeps its targets in a fragment of its own.
-include mk/*.mk


setup: apt-packages $(STAMPS)/installed

# Installs only the Debian packages that are missing; updates the package
# lists only when something has to be installed. The header-only hash map
# comes from Debian 13 into build/deps where the system lacks it (mk/deps.mk).
apt-packages: $(PHMAP_STAMP)
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "apt-get install$$missing"; \
	  $(call quiet, $(SUDO) apt-get update -q); \
	  $(call quiet, DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing); \
	fi

$(STAMPS)/venv: Makefile
	@test -x $(PY) || { echo "creating $(VENV)"; $(PYTHON3) -m venv $(VENV); }
	@echo "installing Python build and test tools"
	@$(call quiet, $(PIP) install -q $(PY_TOOLS))
	@mkdir -p $(STAMPS) && touch $@

# Reinstalled when a source changes; the CMake build dir persists, so
# rebuilds are incremental.
$(STAMPS)/installed: $(STAMPS)/venv $(PHMAP_STAMP) $(PACKAGE_INPUTS)
	@echo "building and installing marrow"
	@$(call quiet, $(PIP) install -q --no-build-isolation --no-deps \
	  --config-settings=build-dir=build/wheel/{wheel_tag} .)
	@touch $@

build: setup

# The short form runs in an optimised build; the sanitizers (ASan, UBSan)
# run in the fuzzers of make test and over the whole suite in make stress.
engine-test: apt-packages $(STAMPS)/venv
	@$(call quiet, $(CMAKE) -S . -B build/engine $(ENGINE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo)
	@$(call quiet, $(CMAKE) --build build/engine -j $(JOBS))
	@echo "build/engine/store_tests"
	@GTEST_BRIEF=1 build/engine/store_tests

# The long form: ASan and UBSan, with 20 random prefixes per crash.
engine-stress: apt-packages $(STAMPS)/venv
	@$(call quiet, $(CMAKE) -S . -B build/engine-asan $(ENGINE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DMARROW_SANITIZE=ON)
	@$(call quiet, $(CMAKE) --build build/engine-asan -j $(JOBS))
	@GTEST_BRIEF=1 ASAN_OPTIONS=detect_leaks=1 MARROW_CRASH_SEEDS=20 build/engine-asan/store_tests

STRESS_TARGETS += engine-stress

# The parts of the test are independent once the package is installed, and
# most of them run on one core (the test runs, the fuzzers, mypy): make runs
# them $(JOBS) at a time, each part's output kept together.
test:
	@$(MAKE) --no-print-directory -j $(JOBS) --output-sync=target test-parts

test-parts: engine-test python-test $(TEST_TARGETS)

python-test: setup
	@$(PY) -m pytest -q -p no:cacheprovider tests

demo: setup
	@$(PY) examples/demo.py

stress: $(STRESS_TARGETS)
	@echo "stress: done"

fuzz: $(FUZZ_TARGETS)
	@echo "fuzz: done"

bench: $(BENCH_TARGETS)
	@echo "bench: done"

clean:
	rm -rf build dist
