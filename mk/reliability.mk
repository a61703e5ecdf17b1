# Long forms of the reliability harnesses (the short forms run in the test
# suite: tests/test_crashloop.py, tests/test_damage.py). Each prints its seed
# and its counts; set RELIABILITY_SEED to repeat a run.

RELIABILITY_SEED ?= $(shell date +%s)
RELIABILITY_CYCLES ?= 10000
RELIABILITY_CASES ?= 1500

.PHONY: reliability-stress reliability-crashloop reliability-damage

STRESS_TARGETS += reliability-stress

reliability-stress: setup
	@rc=0; \
	$(PY) tools/crashloop.py --cycles $(RELIABILITY_CYCLES) --seed $(RELIABILITY_SEED) || rc=1; \
	$(PY) tools/damage_sweep.py --cases $(RELIABILITY_CASES) --seed $(RELIABILITY_SEED) || rc=1; \
	exit $$rc

reliability-crashloop: setup
	@$(PY) tools/crashloop.py --cycles $(RELIABILITY_CYCLES) --seed $(RELIABILITY_SEED)

reliability-damage: setup
	@$(PY) tools/damage_sweep.py --cases $(RELIABILITY_CASES) --seed $(RELIABILITY_SEED)
