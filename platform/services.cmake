# Windows services: web fetch, download, processes, version resource, single instance.
# Their pure rules (caption numbers, image names, version keys) are
# portable and built everywhere, so they are tested natively too.
add_library(tallyx_platform_text STATIC
  ${CMAKE_CURRENT_LIST_DIR}/progress_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/processes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exe_version.cpp)
target_link_libraries(tallyx_platform_text PUBLIC tallyx_base)

if(WIN32)
  add_library(tallyx_platform STATIC
    ${CMAKE_CURRENT_LIST_DIR}/web_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/processes_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/exe_version_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/queries_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/install_folder_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/one_instance_win.cpp)
  target_link_libraries(tallyx_platform PUBLIC tallyx_platform_text tallyx_win32_common tallyx_files
    tallyx_late_wininet urlmon ole32 uuid tallyx_late_version user32 advapi32 shell32 ws2_32)
endif()
