# The long forms of the crash loops (their short forms run in the test
# suite: tests/test_crashloop.py, tests/test_multiprocess.py). It prints its seed and its counts; set
# RELIABILITY_SEED to repeat a run.

RELIABILITY_SEED ?= $(shell date +%s)
RELIABILITY_CYCLES ?= 10000
RELIABILITY_MP_CYCLES ?= 1000

.PHONY: reliability-stress reliability-crashloop

STRESS_TARGETS += reliability-stress

reliability-stress reliability-crashloop: setup
	@$(PY) tests/crashloop.py --cycles $(RELIABILITY_CYCLES) --seed $(RELIABILITY_SEED)
	@cd tests && ../$(PY) mp_crashloop.py --cycles $(RELIABILITY_MP_CYCLES) --seed $(RELIABILITY_SEED)
