# tallyx_add_gtest(NAME SOURCES... LIBS ... [ENVIRONMENT VAR=VALUE...] [PROPERTIES ...]):
# one GoogleTest executable, its cases registered with ctest one by one, with the extra
# ctest PROPERTIES given (a resource lock, a fixture). Discovery runs at test time so that
# the Windows build needs Wine only when the tests run, never while it builds.
function(tallyx_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENVIRONMENT;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(WIN32)
    target_link_options(${name} PRIVATE -mconsole)
  endif()
  # An empty value would be lost on the way to the tests and pair the next property's
  # name with ENVIRONMENT: name ENVIRONMENT only when there is one.
  if(T_ENVIRONMENT)
    list(APPEND T_PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 ${T_PROPERTIES}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  tallyx_check_imports(${name})
endfunction()

# Every Windows executable must import only the system's own DLLs: Wine ships
# libstdc++/libgcc/zlib DLLs of its own, so a dynamic build would pass here and fail on
# a workstation.
function(tallyx_check_imports target)
  cmake_parse_arguments(C "KNOWN_DLLS_ONLY" "" "" ${ARGN})
  if(WIN32 AND TALLYX_TESTS)
    add_test(NAME imports.${target}
      COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DEXE=$<TARGET_FILE:${target}>
              -DKNOWN_DLLS_ONLY=${C_KNOWN_DLLS_ONLY} -P ${PROJECT_SOURCE_DIR}/cmake/CheckImports.cmake)
  endif()
endfunction()
