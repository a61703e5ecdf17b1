# The long form of the crash loop (its short form runs in the test suite:
# tests/test_crashloop.py). It prints its seed and its counts; set
# RELIABILITY_SEED to repeat a run.

RELIABILITY_SEED ?= $(shell date +%s)
RELIABILITY_CYCLES ?= 10000

.PHONY: reliability-stress reliability-crashloop

STRESS_TARGETS += reliability-stress

reliability-stress reliability-crashloop: setup
	@$(PY) tests/crashloop.py --cycles $(RELIABILITY_CYCLES) --seed $(RELIABILITY_SEED)
