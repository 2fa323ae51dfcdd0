# Assembles the resource folder "Resources" beside the program in the build tree:
#   Resources/config.xml, Resources/www/, Resources/strings/, Resources/icons/
set(KIVANO_BUNDLE_OUT ${CMAKE_BINARY_DIR}/Resources)
file(GLOB_RECURSE KIVANO_BUNDLE_INPUTS CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/www/* ${CMAKE_SOURCE_DIR}/resources/*)
add_custom_command(
  OUTPUT ${KIVANO_BUNDLE_OUT}/.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KIVANO_BUNDLE_OUT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KIVANO_BUNDLE_OUT}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/www ${KIVANO_BUNDLE_OUT}/www
  COMMAND ${CMAKE_COMMAND} -E rename ${KIVANO_BUNDLE_OUT}/www/config.xml ${KIVANO_BUNDLE_OUT}/config.xml
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/resources ${KIVANO_BUNDLE_OUT}
  COMMAND ${CMAKE_COMMAND} -E touch ${KIVANO_BUNDLE_OUT}/.stamp
  DEPENDS ${KIVANO_BUNDLE_INPUTS}
  COMMENT "Assembling the application bundle")
add_custom_target(kivano_bundle ALL DEPENDS ${KIVANO_BUNDLE_OUT}/.stamp)
add_dependencies(kivano kivano_bundle)

install(DIRECTORY ${KIVANO_BUNDLE_OUT}/ DESTINATION share/kivano)
