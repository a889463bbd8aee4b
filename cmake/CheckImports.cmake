# cmake -DOBJDUMP=... -DEXE=... [-DKNOWN_DLLS_ONLY=ON] -P CheckImports.cmake
# Fails when EXE imports a DLL that a bare Windows installation does not provide; with
# KNOWN_DLLS_ONLY, any DLL that is not among Windows' KnownDLLs (the loader takes those
# from the system alone, never from the program's folder, where a user who may write the
# installation folder could plant a library; cmake/LateLibraries.cmake loads the others).
cmake_policy(VERSION 3.25)
set(allowed kernel32 user32 gdi32 comctl32 comdlg32 wininet urlmon ole32 oleaut32 version
    shell32 shlwapi advapi32 msvcrt bcrypt uxtheme msimg32 ws2_32 ntdll crypt32 imm32 winmm)
if(KNOWN_DLLS_ONLY)
  # HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs on Windows 7 to 11,
  # and ntdll, which every process has loaded before its first import.
  set(allowed kernel32 user32 gdi32 advapi32 shell32 msvcrt ole32 oleaut32 comdlg32 shlwapi
      ws2_32 imm32 rpcrt4 sechost setupapi wldap32 psapi normaliz nsi ntdll)
endif()
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(bad "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: ([^\n]+)" "\\1" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  string(REGEX REPLACE "\\.dll$" "" stem "${lower}")
  if(NOT stem IN_LIST allowed)
    list(APPEND bad "${dll}")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "${EXE} imports non-system DLLs: ${bad}")
endif()
list(LENGTH lines count)
message(STATUS "${EXE}: ${count} system DLLs imported")
