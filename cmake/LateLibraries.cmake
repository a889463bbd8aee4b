# The system libraries of the Windows builds that are not among Windows' KnownDLLs:
# wininet, version, uxtheme, msimg32 and bcrypt. The loader looks for such a library in
# the program's own folder first, where any user who may write the installation folder
# could put one of the same name, which would then run inside an updater started by an
# administrator. So the executables do not import them: each is linked through a
# delay-load library that dlltool makes from the functions listed here, and loaded at the
# first call, from the system folder only (app/main.cpp). A function that is not listed
# fails to link. Names carry the i686 stdcall suffix (bytes of arguments); x86_64 drops it.
set(_tallyx_late_wininet
  DeleteUrlCacheEntryW@4 HttpOpenRequestW@32 HttpQueryInfoW@20 HttpSendRequestW@20
  InternetCloseHandle@4 InternetConnectW@32 InternetCrackUrlW@16 InternetOpenW@20
  InternetQueryDataAvailable@16 InternetQueryOptionW@16 InternetReadFile@16
  InternetSetOptionW@16 InternetSetStatusCallbackW@8
  # The tests' own WinINet readers.
  InternetOpenUrlW@24)
set(_tallyx_late_version GetFileVersionInfoSizeW@8 GetFileVersionInfoW@16 VerQueryValueW@16)
set(_tallyx_late_uxtheme CloseThemeData@4 DrawThemeBackground@24 OpenThemeData@8)
set(_tallyx_late_msimg32 AlphaBlend@44 GradientFill@24)
set(_tallyx_late_bcrypt
  BCryptCloseAlgorithmProvider@8 BCryptCreateHash@28 BCryptDestroyHash@4 BCryptDestroyKey@4
  BCryptFinishHash@16 BCryptGetProperty@24 BCryptHashData@16 BCryptImportKeyPair@28
  BCryptOpenAlgorithmProvider@16 BCryptVerifySignature@28)

string(REGEX REPLACE "gcc(-posix)?$" "dlltool" _tallyx_dlltool "${CMAKE_C_COMPILER}")
find_program(TALLYX_DLLTOOL NAMES "${_tallyx_dlltool}" REQUIRED)
foreach(_dll wininet version uxtheme msimg32 bcrypt)
  set(_def "LIBRARY ${_dll}.dll\nEXPORTS\n")
  foreach(_function IN LISTS _tallyx_late_${_dll})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      string(REGEX REPLACE "@[0-9]+$" "" _function "${_function}")
    endif()
    string(APPEND _def "  ${_function}\n")
  endforeach()
  set(_dir "${PROJECT_BINARY_DIR}/late")
  file(WRITE "${_dir}/${_dll}.def" "${_def}")
  set(_kill "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_kill --kill-at)
  endif()
  execute_process(COMMAND "${TALLYX_DLLTOOL}" ${_kill} --input-def "${_dir}/${_dll}.def"
                          --dllname "${_dll}.dll" --output-delaylib "${_dir}/lib${_dll}_late.a"
                  RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dlltool could not make the delay-load library of ${_dll}.dll")
  endif()
  add_library(tallyx_late_${_dll} STATIC IMPORTED GLOBAL)
  set_target_properties(tallyx_late_${_dll} PROPERTIES IMPORTED_LOCATION "${_dir}/lib${_dll}_late.a")
endforeach()
