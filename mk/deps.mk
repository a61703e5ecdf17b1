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
