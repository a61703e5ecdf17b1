# macOS on x86_64 (11 or later), built with zig: a compile check of the engine,
# which must keep building where Linux's calls (io_uring, ...) are missing.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MARROW_ZIG_TARGET x86_64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
# Nothing is linked or installed for macOS yet (a compile check).
set(CMAKE_INSTALL_NAME_TOOL /bin/true CACHE FILEPATH "" FORCE)
