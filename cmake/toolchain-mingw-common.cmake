# Shared part of the mingw-w64 toolchains: TALLYX_MINGW names the target triplet.
# The posix thread model gives std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${TALLYX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLYX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER  ${TALLYX_MINGW}-windres)
set(CMAKE_OBJDUMP      ${TALLYX_MINGW}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TALLYX_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
