# The same sources as 64-bit Windows executables, run through 64-bit Wine: for machines
# whose kernel cannot run Wine's 32-bit loader.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TALLYX_MINGW x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
