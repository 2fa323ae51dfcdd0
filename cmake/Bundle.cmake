# Assembles the resource folder "Resources" beside the program in the build tree:
#   Resources/config.xml, Resources/www/, Resources/strings/, Resources/icons/
set(KIVANO_BUNDLE_OUT ${CMAKE_BINARY_DIR}/Resources)
set(KIVANO_BUNDLE_STAMP ${CMAKE_BINARY_DIR}/CMakeFiles/kivano_bundle.stamp)
file(GLOB_RECURSE KIVANO_BUNDLE_INPUTS CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/www/* ${CMAKE_SOURCE_DIR}/resources/icons/* ${CMAKE_SOURCE_DIR}/resources/strings/*)
add_custom_command(
  OUTPUT ${KIVANO_BUNDLE_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KIVANO_BUNDLE_OUT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KIVANO_BUNDLE_OUT}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/www ${KIVANO_BUNDLE_OUT}/www
  COMMAND ${CMAKE_COMMAND} -E rename ${KIVANO_BUNDLE_OUT}/www/config.xml ${KIVANO_BUNDLE_OUT}/config.xml
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/resources/strings ${KIVANO_BUNDLE_OUT}/strings
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/resources/icons ${KIVANO_BUNDLE_OUT}/icons
  COMMAND ${CMAKE_COMMAND} -E touch ${KIVANO_BUNDLE_STAMP}
  DEPENDS ${KIVANO_BUNDLE_INPUTS}
  COMMENT "Assembling the application bundle")
add_custom_target(kivano_bundle ALL DEPENDS ${KIVANO_BUNDLE_STAMP})
add_dependencies(kivano kivano_bundle)
