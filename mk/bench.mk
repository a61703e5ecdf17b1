# Benchmark against the peers (bench/README in the main README):
#   make bench-run     full run (1,000,000 keys), writes bench/results.{md,png,json}
#   make bench-quick   100,000 keys, under two minutes
#   make bench-durable       the durable writes alone (1,000,000 keys) into
#   make bench-durable-quick build/bench/durable.{md,png,json} (quick: 100,000)
#   make bench-callgrind   instructions per operation only
#   make bench-multiprocess  4 processes on one store against lmdb, sqlite3
#                    and diskcache, into bench/multiprocess.{md,json}
#   make bench-mapping   the Store's calls against the raw class's, and reads
#                    of records written since the open (printed)
# The peers live in their own environment, build/bench-venv, so the test
# environment never sees them; marrow goes in as a wheel built from this tree
# with the same CMake build directory as `make build`, so it is incremental.

BENCH_VENV := build/bench-venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip --disable-pip-version-check
BENCH_WHEELS := build/bench-wheel
BENCH_FLOOR := build/bench/floor
BENCH_APT := valgrind eatmydata gcc
BENCH_STAMPS := $(or $(STAMPS),build/stamps)
BENCH_SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: bench-mapping bench-multiprocess bench-run bench-quick bench-durable bench-durable-quick bench-callgrind bench-setup bench-apt

BENCH_TARGETS += bench-run bench-multiprocess

bench-apt:
	@missing=""; for p in $(BENCH_APT); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "apt-get install$$missing"; \
	  $(BENCH_SUDO) apt-get update -q >/dev/null; \
	  DEBIAN_FRONTEND=noninteractive $(BENCH_SUDO) apt-get install -y -q $$missing >/dev/null; \
	fi

$(BENCH_STAMPS)/bench-venv: bench/requirements.txt
	@test -x $(BENCH_PY) || { echo "creating $(BENCH_VENV)"; $(or $(PYTHON3),python3) -m venv $(BENCH_VENV); }
	@echo "installing the benchmark's peers"
	@$(BENCH_PIP) install -q -r bench/requirements.txt
	@mkdir -p $(@D) && touch $@

# Rebuilt whenever `make build` reinstalled the package.
$(BENCH_STAMPS)/bench-marrow: $(BENCH_STAMPS)/installed $(BENCH_STAMPS)/bench-venv
	@echo "installing marrow into $(BENCH_VENV)"
	@rm -rf $(BENCH_WHEELS)
	@$(PIP) wheel -q --no-build-isolation --no-deps -w $(BENCH_WHEELS) \
	  --config-settings=build-dir=build/wheel/{wheel_tag} \
	  --config-settings=install.strip=false .
	@$(BENCH_PIP) install -q --no-deps --force-reinstall $(BENCH_WHEELS)/marrow-*.whl
	@touch $@

$(BENCH_FLOOR): bench/floor.c
	@mkdir -p $(@D)
	$(CC) -O2 -Wall -Wextra -Werror -o $@ $<

bench-setup: setup bench-apt $(BENCH_STAMPS)/bench-marrow $(BENCH_FLOOR)

bench-run: bench-setup
	$(BENCH_PY) bench/bench.py --floor $(BENCH_FLOOR) --out bench/results.md
	$(BENCH_PY) bench/callgrind.py --syscalls --profile --append bench/results.md

bench-quick: bench-setup
	$(BENCH_PY) bench/bench.py --quick --floor $(BENCH_FLOOR) --out bench/results.md
	$(BENCH_PY) bench/callgrind.py --syscalls --profile --append bench/results.md

# The durable workloads (and the fills they start from) without the rest;
# their report goes to build/bench/, not over bench/results.md.
bench-durable: bench-setup
	$(BENCH_PY) bench/bench.py --workloads durable --floor $(BENCH_FLOOR) --out build/bench/durable.md

bench-durable-quick: bench-setup
	$(BENCH_PY) bench/bench.py --quick --workloads durable --floor $(BENCH_FLOOR) --out build/bench/durable.md

bench-callgrind: bench-setup
	$(BENCH_PY) bench/callgrind.py

bench-multiprocess: bench-setup
	$(BENCH_PY) bench/multiprocess.py --out bench/multiprocess.md

bench-mapping: bench-setup
	$(BENCH_PY) bench/mapping.py
