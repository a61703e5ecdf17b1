# libFuzzer targets (see cmake/fuzz.cmake and fuzz/).
#   fuzz-build   configure and build build/fuzz with clang
#   fuzz-smoke   replay the committed corpus, then fuzz each target briefly
#                (FUZZ_SMOKE_SECONDS in all); part of `make test`
#   fuzz-long    the same for FUZZ_LONG_SECONDS in all; `make fuzz`
# open_fuzz, which opens and uses a whole store per input, gets three
# quarters of the time; the two decoders are fast and get an eighth each.
# Inputs found while fuzzing go to build/fuzz/corpus/<target>; a crash
# leaves its input in build/fuzz/artifacts/.

FUZZ_BUILD := build/fuzz
FUZZERS := wal_fuzz snapshot_fuzz open_fuzz
FUZZ_SMOKE_SECONDS ?= 32
FUZZ_LONG_SECONDS ?= 1800
FUZZ_OPTIONS := -malloc_limit_mb=256 -rss_limit_mb=2048 -timeout=30 \
	-max_len=16384 -print_final_stats=0
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: fuzz-build fuzz-smoke fuzz-long

TEST_TARGETS += fuzz-smoke
FUZZ_TARGETS += fuzz-long

fuzz-build: apt-packages $(STAMPS)/venv
	@$(call quiet, $(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMARROW_FUZZ=ON -DMARROW_BUILD_MODULE=OFF -DMARROW_BUILD_TESTS=OFF)
	@$(call quiet, $(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target marrow_fuzzers)

# $(1): seconds per target.
define fuzz_run
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZERS); do \
	  log=$(FUZZ_BUILD)/$$t.log; \
	  if [ $$t = open_fuzz ]; then secs=$$(( $(1) * 3 / 4 )); else secs=$$(( $(1) / 8 )); fi; \
	  if ! $(FUZZ_ENV) $(FUZZ_BUILD)/$$t $(FUZZ_OPTIONS) fuzz/corpus/$$t/* >"$$log" 2>&1; then \
	    tail -n 60 "$$log"; echo "$$t: a corpus input fails (log: $$log)"; exit 1; \
	  fi; \
	  replayed=$$(ls fuzz/corpus/$$t | wc -l); \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  if ! $(FUZZ_ENV) $(FUZZ_BUILD)/$$t $(FUZZ_OPTIONS) -max_total_time=$$secs \
	      -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- \
	      $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t >"$$log" 2>&1; then \
	    tail -n 60 "$$log"; echo "$$t: FAILED (log: $$log; input in $(FUZZ_BUILD)/artifacts/)"; exit 1; \
	  fi; \
	  runs=$$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' "$$log"); \
	  echo "$$t: $$replayed corpus inputs replayed, $$runs, no failures"; \
	done
endef

fuzz-smoke: fuzz-build
	$(call fuzz_run,$(FUZZ_SMOKE_SECONDS))

fuzz-long: fuzz-build
	$(call fuzz_run,$(FUZZ_LONG_SECONDS))

