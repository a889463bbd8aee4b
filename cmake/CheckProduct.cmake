# cmake -DEXE=TallyxUpdater.exe -P CheckProduct.cmake
# Fails unless the executable fetches the vendor's manifest: a build configured for the
# tests (a loopback address) must never pass for the product.
include(${CMAKE_CURRENT_LIST_DIR}/VendorAddress.cmake)
file(READ "${EXE}" content HEX)
# The address is compiled in as UTF-16LE text: each ASCII byte followed by a zero byte.
string(HEX "${TALLYX_VENDOR_MANIFEST_URL}" wanted)
string(REGEX REPLACE "(..)" "\\100" wanted "${wanted}")
string(FIND "${content}" "${wanted}" at)
if(at EQUAL -1 OR NOT at MATCHES "^[0-9]*[02468]$")
  message(FATAL_ERROR "${EXE} does not fetch ${TALLYX_VENDOR_MANIFEST_URL}")
endif()
string(HEX "127.0.0.1" loopback)
string(REGEX REPLACE "(..)" "\\100" loopback "${loopback}")
string(FIND "${content}" "${loopback}" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "${EXE} names a loopback address")
endif()
message(STATUS "${EXE}: fetches ${TALLYX_VENDOR_MANIFEST_URL}")
