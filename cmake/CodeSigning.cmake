# Authenticode signing of the Windows executables with the vendor's code-signing
# certificate, by osslsigncode, as part of linking them.
#
# Included by the build: the cache variables below and tallyx_sign(target), which signs
# the target's file after every link when a certificate is configured. Run as a script
# (cmake -DOSSLSIGNCODE=... -DEXE=... -P CodeSigning.cmake) it signs one file: into a
# temporary file beside it, which then takes its name, so that the file is either the
# unsigned link output or the signed whole. A signing that fails deletes the unsigned file
# too, so that the next build links and signs it again instead of taking it as done.
cmake_policy(VERSION 3.25)

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(TALLYX_SIGN_PKCS12 "" CACHE FILEPATH
      "The vendor's code-signing certificate and key as a PKCS#12 file; empty: no Authenticode signature")
  set(TALLYX_SIGN_CERT "" CACHE FILEPATH
      "The vendor's code-signing certificate (PEM or DER, with its chain), used with TALLYX_SIGN_KEY instead of TALLYX_SIGN_PKCS12")
  set(TALLYX_SIGN_KEY "" CACHE FILEPATH "The private key of TALLYX_SIGN_CERT")
  set(TALLYX_SIGN_PASSWORD_FILE "" CACHE FILEPATH
      "A file whose first line is the password of the PKCS#12 file or the key; empty: none")
  set(TALLYX_SIGN_TIMESTAMP_URL "" CACHE STRING
      "RFC 3161 time-stamp servers (';'-separated, tried in turn); empty: no time stamp")

  # Signs `target`'s file after each link, when a certificate is configured. The password
  # travels as a file name only: neither cmake nor osslsigncode ever has it on a command
  # line that other users' `ps` would show.
  function(tallyx_sign target)
    if(NOT TALLYX_SIGN_PKCS12 AND NOT TALLYX_SIGN_CERT)
      return()
    endif()
    if(TALLYX_SIGN_PKCS12 AND TALLYX_SIGN_CERT)
      message(FATAL_ERROR "Code signing: give TALLYX_SIGN_PKCS12, or TALLYX_SIGN_CERT and TALLYX_SIGN_KEY, not both")
    endif()
    if(TALLYX_SIGN_CERT AND NOT TALLYX_SIGN_KEY)
      message(FATAL_ERROR "Code signing: TALLYX_SIGN_CERT needs TALLYX_SIGN_KEY")
    endif()
    foreach(file IN ITEMS "${TALLYX_SIGN_PKCS12}" "${TALLYX_SIGN_CERT}" "${TALLYX_SIGN_KEY}"
                          "${TALLYX_SIGN_PASSWORD_FILE}")
      if(file AND NOT EXISTS "${file}")
        message(FATAL_ERROR "Code signing: ${file} does not exist")
      endif()
    endforeach()
    find_program(TALLYX_OSSLSIGNCODE osslsigncode REQUIRED)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${TALLYX_OSSLSIGNCODE}
              -DEXE=$<TARGET_FILE:${target}> -DNAME=${target}
              "-DPKCS12=${TALLYX_SIGN_PKCS12}" "-DCERT=${TALLYX_SIGN_CERT}"
              "-DKEY=${TALLYX_SIGN_KEY}" "-DPASSWORD_FILE=${TALLYX_SIGN_PASSWORD_FILE}"
              "-DTIMESTAMP_URLS=${TALLYX_SIGN_TIMESTAMP_URL}"
              -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      COMMENT "Signing ${target} (Authenticode, SHA-256)"
      VERBATIM)
  endfunction()
  return()
endif()

# Script mode: sign EXE.
set(arguments sign -h sha256 -n "${NAME}")
if(PKCS12)
  list(APPEND arguments -pkcs12 "${PKCS12}")
else()
  list(APPEND arguments -certs "${CERT}" -key "${KEY}")
endif()
if(PASSWORD_FILE)
  list(APPEND arguments -readpass "${PASSWORD_FILE}")
endif()
# osslsigncode tries each server in turn until one answers.
string(REPLACE "," ";" TIMESTAMP_URLS "${TIMESTAMP_URLS}")
foreach(url IN LISTS TIMESTAMP_URLS)
  list(APPEND arguments -ts "${url}")
endforeach()

set(signing "${EXE}.signing")
file(REMOVE "${signing}")
# A time-stamp server that does not answer must not hold the build forever.
execute_process(COMMAND "${OSSLSIGNCODE}" ${arguments} -in "${EXE}" -out "${signing}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
                TIMEOUT 300)
if(NOT result EQUAL 0 OR NOT EXISTS "${signing}")
  file(REMOVE "${signing}" "${EXE}")
  message(FATAL_ERROR "Code signing of ${EXE} failed (${result}); the unsigned file is removed:\n${output}")
endif()
# osslsigncode writes a plain file; the executable keeps the linker's permissions.
file(CHMOD "${signing}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${signing}" "${EXE}")
