# The wheels: abi3 wheels for manylinux2014 (glibc 2.17 or later) on x86_64
# and aarch64, both built on this x86_64 machine without containers. zig
# (PyPI's ziglang) is the C/C++ cross compiler: it targets glibc 2.17 exactly
# and links its libc++ statically; CRoaring (single-file form) and liburing
# are built for each target from their sources (mk/deps.mk) and linked in
# statically, so each wheel needs nothing from the system beyond glibc and
# the kernel.
#
#   wheel              dist/: both wheels, each shown by auditwheel and
#                      checked by abi3audit
#   wheel-check        each wheel installed and tested: x86_64 in a fresh
#                      venv with the system's CRoaring and liburing hidden
#                      (smoke test, model test); aarch64 under qemu-user
#                      with an arm64 CPython from Debian (smoke test, model
#                      test); the engine compiled for macOS; the sdist
#                      (mk/package.mk). Each step says how long it took.
#   wheel-check-wheel  (make test) a wheel of the native build, smoke-tested

ZIG_VERSION := 0.17.1
CROSS := build/cross
WHEEL_ARCHS := x86_64 aarch64
zig_target = $(1)-linux-gnu.2.17
CROSS_ENV = MARROW_CROSS_DIR=$(abspath $(CROSS)) MARROW_PY_HEADERS=$(abspath $(PY_HEADERS))
QEMU_AARCH64 := qemu-aarch64-static -L $(abspath $(ARM64_ROOT))

# Runs the commands $(2) in a subshell, then says how long step $(1) took.
timed = start=$$(date +%s); trap 'echo "$(1): $$(( $$(date +%s) - start )) s"' EXIT; ( $(2) )

.PHONY: wheel wheel-check wheel-check-wheel wheel-check-x86_64 wheel-check-aarch64 wheel-check-macos wheel-apt

WHEEL_APT := qemu-user-static

wheel-apt:
	@missing=""; for p in $(WHEEL_APT); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "apt-get install$$missing"; \
	  $(call quiet, $(SUDO) apt-get update -q); \
	  $(call quiet, DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing); \
	fi

# zig, and the wrappers CMake and liburing's Makefile call it through; its
# caches stay under build/. After the other installs into .venv: two pips
# never write it at once.
$(STAMPS)/zig: $(STAMPS)/venv mk/wheels.mk | $(STAMPS)/package-tools
	@echo "installing ziglang $(ZIG_VERSION)"
	@$(call quiet, $(PIP) install -q ziglang==$(ZIG_VERSION))
	@zig=$$($(PY) -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'); \
	mkdir -p $(CROSS)/bin; for tool in cc c++ ar ranlib; do \
	  printf '#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR=%s ZIG_LOCAL_CACHE_DIR=%s\nexec %s %s "$$@"\n' \
	    $(abspath $(CROSS))/zig-cache $(abspath $(CROSS))/zig-cache "$$zig" "$$tool" >$(CROSS)/bin/zig-$$tool; \
	  chmod +x $(CROSS)/bin/zig-$$tool; \
	done
	@touch $@

# liburing.a and its headers in the target's sysroot.
$(STAMPS)/liburing-%: $(STAMPS)/liburing-source $(STAMPS)/zig
	@echo "building liburing for $(call zig_target,$*)"
	@src=$(CROSS)/$*/liburing; root=$(CROSS)/$(call zig_target,$*)/sysroot; \
	rm -rf $$src $$root && mkdir -p $$root/include $$root/lib $(CROSS)/$* && cp -r $(URING_SOURCE)/src $$src; \
	cc="$(abspath $(CROSS))/bin/zig-cc --target=$(call zig_target,$*)"; \
	$(call quiet, cd $$src && ./configure --cc="$$cc"); \
	$(call quiet, $(MAKE) -C $$src/src liburing.a CC="$$cc" AR=$(abspath $(CROSS))/bin/zig-ar RANLIB=$(abspath $(CROSS))/bin/zig-ranlib); \
	cp $$src/src/liburing.a $$root/lib/ && cp -r $$src/src/include/. $$root/include/
	@touch $@

# Stamps of pattern rules, which make would otherwise delete.
.PRECIOUS: $(STAMPS)/liburing-% $(CROSS)/%/wheel.stamp

WHEEL_INPUTS := $(PACKAGE_INPUTS) $(wildcard cmake/toolchains/*.cmake) mk/wheels.mk

# pip builds the linux_<arch> wheel with the target's toolchain file;
# auditwheel tags it with the oldest policy its symbols allow, which must be
# manylinux2014.
$(CROSS)/%/wheel.stamp: $(WHEEL_INPUTS) $(STAMPS)/zig $(STAMPS)/liburing-% $(STAMPS)/croaring \
		$(STAMPS)/phmap $(STAMPS)/xxhash $(STAMPS)/python-headers
	@echo "pip wheel ($(call zig_target,$*))"
	@rm -rf $(CROSS)/$*/raw $(CROSS)/$*/dist
	@$(call timed,  pip wheel ($*), $(call quiet, $(CROSS_ENV) _PYTHON_HOST_PLATFORM=linux-$* \
	  CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) wheel -q --no-build-isolation --no-deps -w $(CROSS)/$*/raw \
	  --config-settings=build-dir=$(CROSS)/$*/build \
	  --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchains/$(call zig_target,$*).cmake) \
	  --config-settings=cmake.define.MARROW_ROARING_SOURCE=$(abspath $(ROARING_SOURCE)) \
	  --config-settings=cmake.define.MARROW_PHMAP_INCLUDE=$(abspath $(DEPS)/phmap/usr/include) \
	  --config-settings=cmake.define.MARROW_XXHASH_INCLUDE=$(abspath $(XXHASH_INCLUDE)) .))
	@$(call quiet, $(WHEEL_BIN) auditwheel repair --plat auto -w $(CROSS)/$*/dist $(CROSS)/$*/raw/*.whl)
	@ls $(CROSS)/$*/dist/*-manylinux2014_$*.*.whl >/dev/null || { echo "not a manylinux2014 wheel: $$(ls $(CROSS)/$*/dist)"; exit 1; }
	@rm -rf $(CROSS)/$*/raw
	@touch $@

wheel: $(addprefix $(CROSS)/,$(addsuffix /wheel.stamp,$(WHEEL_ARCHS))) | $(STAMPS)/package-tools
	@rm -rf dist && mkdir dist && cp $(foreach a,$(WHEEL_ARCHS),$(CROSS)/$(a)/dist/*.whl) dist/
	@for w in dist/*.whl; do $(WHEEL_BIN) auditwheel show "$$w" | tr '\n' ' ' | sed 's/  */ /g'; echo; done
	@$(WHEEL_BIN) abi3audit --strict --summary dist/*.whl
	@ls -l dist/*.whl

X86_64_WHEEL = $(firstword $(wildcard $(CROSS)/x86_64/dist/*.whl))
AARCH64_WHEEL = $(firstword $(wildcard $(CROSS)/aarch64/dist/*.whl))

# make test's wheel check: the native build (Debian 12's libraries, in the
# incremental build dir of setup) as a wheel, repaired by auditwheel
# (CRoaring grafted into marrow.libs/, manylinux_2_34), smoke-tested in a
# fresh venv with the system's copies hidden. The portable wheels take
# minutes from a clean tree (zig builds its libc++ for each target), so
# make wheel-check tests them.
NATIVE_WHEEL := build/wheel-native

wheel-check-wheel: setup package-tools
	@rm -rf $(NATIVE_WHEEL)
	@echo "pip wheel (native), auditwheel repair"
	@$(call quiet, $(PIP) wheel -q --no-build-isolation --no-deps -w $(NATIVE_WHEEL)/raw \
	  --config-settings=build-dir=build/wheel/{wheel_tag} .)
	@$(call quiet, $(WHEEL_BIN) auditwheel repair -w $(NATIVE_WHEEL)/dist $(NATIVE_WHEEL)/raw/*.whl)
	@$(call install_and_smoke,$(CURDIR)/$(NATIVE_WHEEL)/dist/*.whl,$(WITHOUT_SYSTEM_LIBS),--bundled)

# The same venv then runs the model test, the libraries still hidden.
wheel-check-x86_64: $(CROSS)/x86_64/wheel.stamp
	@$(call timed,wheel-check-x86_64, \
	  tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	  $(PYTHON3) -m venv "$$tmp/venv"; \
	  echo "pip install $$(basename $(X86_64_WHEEL)) pytest hypothesis into a fresh venv"; \
	  $(call quiet, "$$tmp/venv/bin/pip" install -q $(abspath $(X86_64_WHEEL)) pytest hypothesis); \
	  cd "$$tmp" && $(WITHOUT_SYSTEM_LIBS) "$$tmp/venv/bin/python" -I $(CURDIR)/tests/smoke_installed.py --static && \
	  "$$tmp/venv/bin/python" -I $(CURDIR)/tests/batch_read_probe.py && \
	  $(WITHOUT_SYSTEM_LIBS) "$$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir $(CURDIR) $(CURDIR)/tests/test_model.py)

# An arm64 venv (python3.11 from Debian, run by qemu-aarch64 with the
# unpacked packages as its root), filled by this machine's pip for the
# aarch64 platform: the wheel, its dependency and the test tools, all pure
# Python but the wheel. qemu's syscall trace of tests/batch_read_probe.py
# shows get_many reading records written since the files were mapped from
# the mappings, with the arm64 page probe, and no positioned read.
wheel-check-aarch64: $(CROSS)/aarch64/wheel.stamp $(STAMPS)/arm64-root wheel-apt
	@$(call timed,wheel-check-aarch64, \
	  tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	  $(QEMU_AARCH64) $(abspath $(ARM64_ROOT))/usr/bin/python3.11 -m venv --without-pip "$$tmp/venv"; \
	  echo "pip install --platform manylinux2014_aarch64 $$(basename $(AARCH64_WHEEL)) pytest hypothesis into an arm64 venv"; \
	  $(call quiet, $(PIP) install -q --target "$$tmp/venv/lib/python3.11/site-packages" \
	    --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp --only-binary=:all: \
	    $(abspath $(AARCH64_WHEEL)) pytest hypothesis); \
	  cd "$$tmp" && echo "qemu-aarch64: $$($(QEMU_AARCH64) venv/bin/python -c 'import platform; print(platform.machine(), platform.python_version())')"; \
	  $(QEMU_AARCH64) venv/bin/python -I $(CURDIR)/tests/smoke_installed.py --static && \
	  QEMU_STRACE=1 $(QEMU_AARCH64) venv/bin/python -I $(CURDIR)/tests/batch_read_probe.py 2>"$$tmp/strace" && \
	  preads=$$(grep -c ' pread64' "$$tmp/strace" || true) && \
	  echo "  get_many under qemu: $$preads positioned reads (the mappings serve every record)" && \
	  [ "$$preads" -eq 0 ] && \
	  $(QEMU_AARCH64) venv/bin/python -m pytest -q -p no:cacheprovider --rootdir $(CURDIR) $(CURDIR)/tests/test_model.py)

# The engine (no module: nothing is shipped for macOS yet) compiled for
# macOS on arm64 and x86_64, without liburing: what is Linux-only must stay
# behind its fallback.
wheel-check-macos: $(STAMPS)/zig $(STAMPS)/croaring $(STAMPS)/phmap $(STAMPS)/xxhash
	@$(call timed,wheel-check-macos, for a in aarch64 x86_64; do \
	  echo "compile the engine for $$a-macos"; \
	  $(call quiet, $(CROSS_ENV) $(CMAKE) -S . -B $(CROSS)/$$a-macos -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchains/$$a-macos.cmake) \
	    -DMARROW_BUILD_MODULE=OFF -DMARROW_BUILD_TESTS=OFF -DMARROW_ROARING_SOURCE=$(abspath $(ROARING_SOURCE)) \
	    -DMARROW_PHMAP_INCLUDE=$(abspath $(DEPS)/phmap/usr/include) -DMARROW_XXHASH_INCLUDE=$(abspath $(XXHASH_INCLUDE))); \
	  $(call quiet, $(CMAKE) --build $(CROSS)/$$a-macos -j $(JOBS) --target marrow_store); \
	done)

wheel-check: wheel
	@$(MAKE) --no-print-directory wheel-check-x86_64 wheel-check-aarch64 wheel-check-macos wheel-check-sdist
	@echo "wheel-check: both wheels, the macOS compile and the sdist: ok"
