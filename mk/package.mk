# The Python package around the native module: its tools (mypy, the CLI's
# progress bars), the type checks and the API reference.
#
#   package-tools    install mypy, tqdm and tqdm's type stubs into .venv
#   package-test     mypy --strict over the package, its tests and tools;
#                    stubtest of marrow._marrow against the built module;
#                    docs/api.md up to date with the docstrings
#   package-docs     regenerate docs/api.md

# tqdm is a dependency of the package, but the package is installed with
# --no-deps, so it comes in here.
PACKAGE_TOOLS := mypy tqdm types-tqdm
PACKAGE_TYPED := src/marrow tests/test_mapping.py tests/test_cli.py tools/gen_api_docs.py
# mypy's cache stays out of the work tree.
PACKAGE_MYPY := MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy
# stubtest keeps its cache in the working directory: run it in build/.
PACKAGE_STUBTEST := mkdir -p build/stubtest && cd build/stubtest && $(abspath $(PY)) -m mypy.stubtest

TEST_TARGETS += package-test

.PHONY: package-tools package-test package-docs

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
