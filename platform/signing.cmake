# Signed releases: the vendor's public keys and the cryptography that checks them.
set(TALLYX_RELEASE_KEYS "" CACHE STRING
    "The vendor's ECDSA P-256 release keys (base64 uncompressed points, separated by ';'); empty: no signature checks")

set(_tallyx_keys "")
foreach(_key IN LISTS TALLYX_RELEASE_KEYS)
  string(STRIP "${_key}" _key)
  if(_key STREQUAL "")
    continue()
  endif()
  string(LENGTH "${_key}" _length)
  if(NOT _key MATCHES "^B[A-Za-z0-9+/]+=$" OR NOT _length EQUAL 88)
    message(FATAL_ERROR "TALLYX_RELEASE_KEYS: '${_key}' is not a public key printed by tallyx-publish keygen")
  endif()
  list(APPEND _tallyx_keys "${_key}")
endforeach()
list(JOIN _tallyx_keys "," _tallyx_keys)

if(WIN32)
  add_library(tallyx_signature STATIC signature_win.cpp signature_keys.cpp)
  target_link_libraries(tallyx_signature PUBLIC tallyx_controller PRIVATE tallyx_win32_common tallyx_late_bcrypt)
else()
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  add_library(tallyx_signature STATIC signature_posix.cpp signature_keys.cpp)
  target_link_libraries(tallyx_signature PUBLIC tallyx_controller PRIVATE OpenSSL::Crypto)
endif()
set_source_files_properties(signature_keys.cpp PROPERTIES
    COMPILE_DEFINITIONS "TALLYX_RELEASE_KEYS=\"${_tallyx_keys}\"")
