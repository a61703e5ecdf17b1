# I/O fault injection (tools/faultinject, tools/fault_sweep.py).
#   faults-lib     build build/faultinject/libfaultinject.so
#   faults-sweep   the reduced sweep (tests/test_faults.py runs it in `make test`)
#   faults-stress  the full sweep: every operation, every fault mode; `make stress`

FAULTS_LIB := build/faultinject/libfaultinject.so

.PHONY: faults-lib faults-sweep faults-stress

STRESS_TARGETS += faults-stress

$(FAULTS_LIB): tools/faultinject/faultinject.c
	@mkdir -p $(dir $@)
	cc -shared -fPIC -O2 -Wall -Wextra -Werror -o $@ $< -ldl -lpthread

faults-lib: $(FAULTS_LIB)

faults-sweep: setup $(FAULTS_LIB)
	@$(PY) tools/fault_sweep.py --quick

faults-stress: setup $(FAULTS_LIB)
	@$(PY) tools/fault_sweep.py
