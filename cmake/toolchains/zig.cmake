# Cross builds with zig's C and C++ compiler (PyPI's ziglang): it targets an
# exact glibc version (or macOS) with the C library headers and stubs it
# carries, and links its own libc++ statically, so a Linux module needs
# nothing from the system beyond glibc and the kernel.
#
# Included by the toolchain files beside it, each of which names its target
# in MARROW_ZIG_TARGET. The environment names the directories make prepares
# (mk/wheels.mk):
#   MARROW_CROSS_DIR   bin/zig-{cc,c++,ar,ranlib}, the wrappers of zig, and
#                      <target>/sysroot, the target's libraries (liburing)
#   MARROW_PY_HEADERS  the Python headers, <arch>-linux-gnu/python3.11 with
#                      that architecture's pyconfig.h: never /usr/include,
#                      whose glibc headers would shadow the target's

if(NOT DEFINED ENV{MARROW_CROSS_DIR})
  message(FATAL_ERROR "MARROW_CROSS_DIR is not set: build through make")
endif()
set(_marrow_cross $ENV{MARROW_CROSS_DIR})

set(CMAKE_C_COMPILER ${_marrow_cross}/bin/zig-cc)
set(CMAKE_CXX_COMPILER ${_marrow_cross}/bin/zig-c++)
set(CMAKE_C_COMPILER_TARGET ${MARROW_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${MARROW_ZIG_TARGET})
set(CMAKE_AR ${_marrow_cross}/bin/zig-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${_marrow_cross}/bin/zig-ranlib CACHE FILEPATH "" FORCE)

# Libraries and headers only from the target's sysroot; programs (Python,
# for FindPython's interpreter) from the host.
set(CMAKE_FIND_ROOT_PATH ${_marrow_cross}/${MARROW_ZIG_TARGET}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(DEFINED ENV{MARROW_PY_HEADERS})
  set(Python_INCLUDE_DIR
      $ENV{MARROW_PY_HEADERS}/${CMAKE_SYSTEM_PROCESSOR}-linux-gnu/python3.11
      CACHE PATH "" FORCE)
endif()
