# Engine test tools that are programs rather than GoogleTest cases.
#
# vacuum_crash_driver: opens a store and runs vacuum or persist, killing
# itself at a named crash point; tests/test_crash_points.py drives it and
# expects it at build/engine/vacuum_crash_driver.
if(MARROW_BUILD_TESTS)
  add_executable(vacuum_crash_driver
                 ${PROJECT_SOURCE_DIR}/tests/engine/vacuum_crash_driver.cc)
  target_compile_features(vacuum_crash_driver PRIVATE cxx_std_20)
  target_compile_options(vacuum_crash_driver PRIVATE -Wall -Wextra -Werror)
  target_link_libraries(vacuum_crash_driver PRIVATE marrow_store)
endif()
