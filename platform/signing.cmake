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

# An updater without release keys checks no signature: it installs whatever is served at
# the manifest's plain-HTTP address, to anyone on the network between the workstation and
# the server. The product is never built so by accident; the test and demo flavours bring
# test keys of their own where they check signatures.
option(TALLYX_UNSIGNED_RELEASES
  "Build the product without release keys: it installs releases without checking any signature" OFF)
if(WIN32 AND NOT TALLYX_TEST_BUILD AND _tallyx_keys STREQUAL "")
  if(NOT TALLYX_UNSIGNED_RELEASES)
    message(FATAL_ERROR "The product needs the vendor's release keys: without them it installs "
      "whatever the manifest's address serves, unchecked. Make a key and print its public half "
      "with\n  tallyx-publish keygen vendor.pem\n(tools/publish/README.md), then configure with"
      "\n  cmake --preset win32 -DTALLYX_RELEASE_KEYS=<public key>\n"
      "To build the unsigned updater on purpose: -DTALLYX_UNSIGNED_RELEASES=ON.")
  endif()
  message(WARNING "TALLYX_UNSIGNED_RELEASES=ON: this updater checks no signature and installs "
    "whatever the manifest's address serves.")
endif()

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
