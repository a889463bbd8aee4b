# File-system backends (Win32 for the product, POSIX for native builds).
if(WIN32)
  add_library(tallyx_files STATIC ${CMAKE_CURRENT_LIST_DIR}/file_system_win.cpp)
  target_link_libraries(tallyx_files PUBLIC tallyx_zip tallyx_win32_common)
else()
  add_library(tallyx_files STATIC ${CMAKE_CURRENT_LIST_DIR}/file_system_posix.cpp)
  target_link_libraries(tallyx_files PUBLIC tallyx_zip)
endif()
