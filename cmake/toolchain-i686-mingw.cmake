# The 32-bit Windows product; ctest runs its .exe files through Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TALLYX_MINGW i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
