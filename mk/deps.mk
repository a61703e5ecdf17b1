# Libraries that Debian 12 does not package, fetched with apt from Debian's
# archive into build/deps (never installed into the system):
#
#   parallel-hashmap   the engine's hash map, header-only: Debian 13's
#                      libparallel-hashmap-dev, unpacked into
#                      build/deps/phmap unless the system has it
#
# apt works there with a state of its own (sources, lists, cache under
# build/deps/apt-*), so the machine's configuration is never changed.

DEPS := build/deps
DEPS_APT = apt-get -q -o Dir::Etc::SourceList=$(abspath $(1))/sources.list \
	-o Dir::Etc::SourceParts=/nonexistent -o Dir::State::Lists=$(abspath $(1))/lists \
	-o Dir::Cache=$(abspath $(1))/cache -o Dir::State::status=/dev/null \
	-o APT::Sandbox::User=root -o Debug::NoLocking=1
DEBIAN_KEYRING := /usr/share/keyrings/debian-archive-keyring.gpg

PHMAP_PREFIX := $(DEPS)/phmap/usr
# CMake finds the fetched copy through CMAKE_PREFIX_PATH (a system copy wins
# where there is one: the variable is then left alone).
ifeq ($(wildcard /usr/include/parallel_hashmap/phmap.h),)
export CMAKE_PREFIX_PATH := $(abspath $(PHMAP_PREFIX))$(if $(CMAKE_PREFIX_PATH),:$(CMAKE_PREFIX_PATH))
PHMAP_STAMP := $(STAMPS)/phmap
else
PHMAP_STAMP :=
endif

# Debian 13's main archive, binary packages of all architectures.
APT_TRIXIE := $(DEPS)/apt-trixie

$(STAMPS)/phmap: mk/deps.mk
	@echo "fetching libparallel-hashmap-dev (Debian 13) into $(DEPS)/phmap"
	@rm -rf $(APT_TRIXIE) $(DEPS)/phmap && mkdir -p $(APT_TRIXIE)/lists/partial $(APT_TRIXIE)/cache/archives/partial
	@echo "deb [arch=amd64 signed-by=$(DEBIAN_KEYRING)] http://deb.debian.org/debian trixie main" >$(APT_TRIXIE)/sources.list
	@$(call quiet, $(call DEPS_APT,$(APT_TRIXIE)) update)
	@$(call quiet, cd $(APT_TRIXIE) && $(call DEPS_APT,$(APT_TRIXIE)) download libparallel-hashmap-dev)
	@dpkg-deb -x $(APT_TRIXIE)/libparallel-hashmap-dev_*.deb $(DEPS)/phmap
	@rm -rf $(APT_TRIXIE)/lists $(APT_TRIXIE)/cache
	@test -f $(PHMAP_PREFIX)/include/parallel_hashmap/phmap.h
	@mkdir -p $(@D) && touch $@

# The portable wheels' sources and the emulated test's runtime, from Debian
# 12 (binary packages of amd64 and arm64, and source packages) and PyPI:
#
#   liburing           Debian's source package, built per target (mk/wheels.mk)
#   xxHash             the header of Debian's libxxhash-dev (amd64; the
#                      header is the same on every architecture)
#   CRoaring           its single-file form, from pyroaring's sdist (a newer
#                      CRoaring than Debian's, compiled into the module)
#   Python headers     libpython3.11-dev of amd64 and arm64, unpacked into
#                      <arch>-linux-gnu/python3.11, each with its own
#                      pyconfig.h (the module uses only the stable ABI of
#                      3.9, which these headers declare)
#   arm64 CPython      python3.11 and the libraries it loads, unpacked into a
#                      directory that qemu-aarch64 uses as its root
APT_BOOKWORM := $(DEPS)/apt-bookworm
PYROARING_VERSION := 1.2.0
ROARING_SOURCE := $(DEPS)/croaring
URING_SOURCE := $(DEPS)/liburing
PY_HEADERS := $(DEPS)/python-headers
ARM64_ROOT := $(DEPS)/arm64-root
ARM64_PACKAGES := libc6 libgcc-s1 python3.11-minimal libpython3.11-minimal \
	libpython3.11-stdlib libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 \
	libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8 \
	libcrypt1 libnsl2 libtirpc3 libdb5.3

$(STAMPS)/apt-bookworm: mk/deps.mk
	@echo "apt update: Debian 12's amd64 and arm64 packages and sources (into $(APT_BOOKWORM))"
	@rm -rf $(APT_BOOKWORM) && mkdir -p $(APT_BOOKWORM)/lists/partial $(APT_BOOKWORM)/cache/archives/partial
	@for s in "debian bookworm" "debian bookworm-updates" "debian-security bookworm-security"; do \
	  set -- $$s; \
	  echo "deb [arch=amd64,arm64 signed-by=$(DEBIAN_KEYRING)] http://deb.debian.org/$$1 $$2 main"; \
	  echo "deb-src [signed-by=$(DEBIAN_KEYRING)] http://deb.debian.org/$$1 $$2 main"; \
	done >$(APT_BOOKWORM)/sources.list
	@$(call quiet, $(call DEPS_APT,$(APT_BOOKWORM)) -o APT::Architectures::=arm64 update)
	@mkdir -p $(@D) && touch $@

BOOKWORM_APT = $(call DEPS_APT,$(APT_BOOKWORM)) -o APT::Architectures::=arm64

$(STAMPS)/croaring: mk/deps.mk $(STAMPS)/venv
	@echo "fetching CRoaring's single-file form (the sdist of pyroaring $(PYROARING_VERSION))"
	@rm -rf $(ROARING_SOURCE) && mkdir -p $(ROARING_SOURCE)/roaring
	@$(call quiet, $(PIP) download -q --no-deps --no-binary :all: -d $(ROARING_SOURCE) pyroaring==$(PYROARING_VERSION))
	@tar -xzf $(ROARING_SOURCE)/pyroaring-$(PYROARING_VERSION).tar.gz -C $(ROARING_SOURCE)/roaring \
	  --strip-components=2 pyroaring-$(PYROARING_VERSION)/pyroaring/roaring.c pyroaring-$(PYROARING_VERSION)/pyroaring/roaring.h
	@rm $(ROARING_SOURCE)/pyroaring-*.tar.gz
	@echo "  CRoaring $$(sed -n 's/^#define ROARING_VERSION "\(.*\)"/\1/p' $(ROARING_SOURCE)/roaring/roaring.h)"
	@mkdir -p $(@D) && touch $@

XXHASH_INCLUDE := $(DEPS)/xxhash/usr/include

$(STAMPS)/xxhash: $(STAMPS)/apt-bookworm
	@echo "fetching libxxhash-dev (Debian 12) into $(DEPS)/xxhash"
	@rm -rf $(DEPS)/xxhash && mkdir -p $(DEPS)/xxhash/debs
	@$(call quiet, cd $(DEPS)/xxhash/debs && $(BOOKWORM_APT) download libxxhash-dev:amd64)
	@dpkg-deb -x $(DEPS)/xxhash/debs/*.deb $(DEPS)/xxhash
	@rm -rf $(DEPS)/xxhash/debs
	@test -f $(XXHASH_INCLUDE)/xxhash.h
	@mkdir -p $(@D) && touch $@

$(STAMPS)/liburing-source: $(STAMPS)/apt-bookworm
	@echo "apt-get source liburing (Debian 12)"
	@rm -rf $(URING_SOURCE) && mkdir -p $(URING_SOURCE)
	@$(call quiet, cd $(URING_SOURCE) && $(BOOKWORM_APT) source liburing)
	@mv $(URING_SOURCE)/liburing-*/ $(URING_SOURCE)/src
	@mkdir -p $(@D) && touch $@

$(STAMPS)/python-headers: $(STAMPS)/apt-bookworm
	@echo "fetching libpython3.11-dev (amd64, arm64) for the Python headers"
	@rm -rf $(PY_HEADERS) && mkdir -p $(PY_HEADERS)/debs
	@$(call quiet, cd $(PY_HEADERS)/debs && $(BOOKWORM_APT) download libpython3.11-dev:amd64 libpython3.11-dev:arm64)
	@for d in $(PY_HEADERS)/debs/*.deb; do dpkg-deb -x "$$d" $(PY_HEADERS)/x; done
	@for t in x86_64-linux-gnu aarch64-linux-gnu; do \
	  mkdir -p $(PY_HEADERS)/$$t && cp -r $(PY_HEADERS)/x/usr/include/python3.11 $(PY_HEADERS)/$$t/ && \
	  cp $(PY_HEADERS)/x/usr/include/$$t/python3.11/pyconfig.h $(PY_HEADERS)/$$t/python3.11/pyconfig.h; \
	done
	@rm -rf $(PY_HEADERS)/x $(PY_HEADERS)/debs
	@mkdir -p $(@D) && touch $@

$(STAMPS)/arm64-root: $(STAMPS)/apt-bookworm
	@echo "fetching an arm64 CPython 3.11 (Debian 12) into $(ARM64_ROOT)"
	@rm -rf $(ARM64_ROOT) && mkdir -p $(ARM64_ROOT).debs
	@$(call quiet, cd $(ARM64_ROOT).debs && $(BOOKWORM_APT) download $(addsuffix :arm64,$(ARM64_PACKAGES)))
	@for d in $(ARM64_ROOT).debs/*.deb; do dpkg-deb -x "$$d" $(ARM64_ROOT); done
	@rm -rf $(ARM64_ROOT).debs
	@test -x $(ARM64_ROOT)/usr/bin/python3.11
	@mkdir -p $(@D) && touch $@
