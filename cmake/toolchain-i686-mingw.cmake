# Cross build of the 32-bit Windows product with mingw-w64 (posix thread model, so
# std::thread and std::mutex exist); ctest runs the resulting .exe files through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TALLYX_MINGW i686-w64-mingw32)

set(CMAKE_C_COMPILER   ${TALLYX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLYX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER  ${TALLYX_MINGW}-windres)
set(CMAKE_OBJDUMP      ${TALLYX_MINGW}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TALLYX_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
