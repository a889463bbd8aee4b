# tallyx_product(NAME [SIGNATURE LIB] [MANIFEST_URL URL] [DEFINITIONS DEF...] [STRIP]):
# the updater's executable, linked as the product is. The end-to-end runs build flavours
# of it that differ only in the release keys they trust (SIGNATURE, tallyx_signature by
# default), in the manifest's address (the build's own by default) or in compile
# definitions (shorter network limits, say).
function(tallyx_product name)
  cmake_parse_arguments(P "STRIP" "SIGNATURE;MANIFEST_URL" "DEFINITIONS" ${ARGN})
  if(NOT P_SIGNATURE)
    set(P_SIGNATURE tallyx_signature)
  endif()
  if(NOT P_MANIFEST_URL)
    set(P_MANIFEST_URL "${TALLYX_PRODUCT_MANIFEST_URL}")
  endif()
  set(app ${PROJECT_SOURCE_DIR}/app)
  add_executable(${name} WIN32 ${app}/main.cpp ${app}/app.rc
    $<TARGET_OBJECTS:tallyx_ui_resources>)
  # app.rc takes the generated application manifest in by name.
  set_source_files_properties(${app}/app.rc PROPERTIES OBJECT_DEPENDS
    "${PROJECT_BINARY_DIR}/generated/app.manifest;${PROJECT_BINARY_DIR}/generated/tallyx_version.h")
  target_link_libraries(${name} PRIVATE tallyx_app tallyx_controller tallyx_platform
    tallyx_files tallyx_zip ${P_SIGNATURE} tallyx_version)
  target_compile_definitions(${name} PRIVATE
    "TALLYX_MANIFEST_URL=u\"${P_MANIFEST_URL}\"" ${P_DEFINITIONS})
  target_link_options(${name} PRIVATE -municode $<$<BOOL:${P_STRIP}>:-s>)
  # Signed as the product is (when the build has a code-signing certificate); the tests
  # verify every flavour's signature.
  tallyx_sign(${name})
  set_property(GLOBAL APPEND PROPERTY TALLYX_PRODUCT_TARGETS ${name})
endfunction()
