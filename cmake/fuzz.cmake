# libFuzzer targets: wal_fuzz, snapshot_fuzz and open_fuzz, linked against
# marrow_store_fuzz, a copy of the engine built with the fuzzer's coverage
# instrumentation and AddressSanitizer + UndefinedBehaviorSanitizer.
#
# Needs clang. Configure a separate build directory, for example
#   cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DMARROW_FUZZ=ON
# CMakeLists.txt includes this file after it has defined
# MARROW_STORE_DEPENDENCIES, which the instrumented engine links too.

include_guard(GLOBAL)

option(MARROW_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(MARROW_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "MARROW_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  get_filename_component(_marrow_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

  set(_marrow_fuzz_sanitizers -fsanitize=address,undefined
                              -fno-sanitize-recover=all -fno-omit-frame-pointer)

  file(GLOB _marrow_fuzz_engine_sources CONFIGURE_DEPENDS
       ${_marrow_root}/src/store/*.cc)
  add_library(marrow_store_fuzz STATIC EXCLUDE_FROM_ALL
              ${_marrow_fuzz_engine_sources})
  target_compile_features(marrow_store_fuzz PUBLIC cxx_std_20)
  target_include_directories(marrow_store_fuzz PUBLIC ${_marrow_root}/src
                                                      ${_marrow_root})
  target_include_directories(marrow_store_fuzz SYSTEM
                             PUBLIC ${MARROW_PHMAP_INCLUDE}
                             PRIVATE ${MARROW_XXHASH_INCLUDE})
  target_compile_options(
    marrow_store_fuzz PRIVATE -Wall -Wextra -Werror
    PUBLIC ${_marrow_fuzz_sanitizers} -fsanitize=fuzzer-no-link -g)
  target_link_options(marrow_store_fuzz PUBLIC ${_marrow_fuzz_sanitizers})
  target_link_libraries(marrow_store_fuzz PUBLIC ${MARROW_STORE_DEPENDENCIES})
  # 1,000 offsets slots per new store instead of 100,000 (format.h).
  target_compile_definitions(marrow_store_fuzz PUBLIC MARROW_MIN_OFFSET_SLOTS=1000)

  # MemFs (tests/engine) holds the targets' files. It is sanitized but not
  # instrumented for coverage: its byte compares would steer the fuzzer and
  # cost most of each run.
  add_library(marrow_mem_fs STATIC EXCLUDE_FROM_ALL
              ${_marrow_root}/tests/engine/mem_fs.cc)
  target_include_directories(marrow_mem_fs PUBLIC ${_marrow_root}/src
                                                  ${_marrow_root}/tests)
  target_compile_features(marrow_mem_fs PUBLIC cxx_std_20)
  target_compile_options(marrow_mem_fs PRIVATE -Wall -Wextra -Werror -g
                                               ${_marrow_fuzz_sanitizers})

  add_custom_target(marrow_fuzzers)
  foreach(_target wal_fuzz snapshot_fuzz open_fuzz)
    add_executable(${_target} EXCLUDE_FROM_ALL
                   ${_marrow_root}/fuzz/${_target}.cc)
    target_include_directories(${_target} PRIVATE ${_marrow_root}/tests)
    target_compile_options(${_target} PRIVATE -Wall -Wextra -Werror)
    target_link_options(${_target} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${_target} PRIVATE marrow_store_fuzz marrow_mem_fs)
    add_dependencies(marrow_fuzzers ${_target})
  endforeach()
endif()
