# cmake -DPACKAGE_DIR=… -DCPACK_CONFIG=… -P BuildPackage.cmake: a fresh Debian package of the
# build tree in PACKAGE_DIR, as scripts/package makes it (without its lintian run).
file(REMOVE_RECURSE ${PACKAGE_DIR})
file(MAKE_DIRECTORY ${PACKAGE_DIR})
execute_process(COMMAND ${CPACK} -G DEB --config ${CPACK_CONFIG} -B ${PACKAGE_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB debs ${PACKAGE_DIR}/*.deb)
if(NOT result EQUAL 0 OR NOT debs)
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()
message(STATUS "built ${debs}")
