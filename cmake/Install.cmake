# The installed layout (GNU directories below the prefix):
#   bin/kivano                                   the program, RUNPATH to its library
#   lib/kivano/libkivano_core.so                 the core shared library
#   lib/kivano/libkivano_sip.so                  the SIP back end, loaded at the intercom's first use
#   lib/kivano/web-extensions/                   the page bridge's web-process extension
#   share/kivano/                                the bundle (config.xml, www/, strings/, icons/)
#   share/applications/<id>.desktop              menu entry and URL-scheme handler
#   share/icons/hicolor/scalable/apps/<id>.svg   the application icon
#   share/icons/hicolor/scalable/status/         the tray icons (symbolic)
#   share/metainfo/<id>.metainfo.xml             AppStream metadata
# and a Debian package of it: cpack -G DEB (in the build folder).
set_target_properties(kivano PROPERTIES INSTALL_RPATH "$ORIGIN/${KIVANO_BIN_TO_LIB}")
install(TARGETS kivano RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kivano_core LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kivano)
install(TARGETS kivano_web_extension LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kivano/web-extensions)
if(TARGET kivano_sip)
  install(TARGETS kivano_sip LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kivano)
endif()

install(DIRECTORY ${KIVANO_BUNDLE_OUT}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kivano)

install(FILES ${CMAKE_SOURCE_DIR}/resources/${KIVANO_BUNDLE_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/${KIVANO_BUNDLE_ID}.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
file(GLOB KIVANO_STATUS_ICONS ${CMAKE_SOURCE_DIR}/resources/icons/*-symbolic.svg)
install(FILES ${KIVANO_STATUS_ICONS} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/status)

configure_file(${CMAKE_SOURCE_DIR}/resources/${KIVANO_BUNDLE_ID}.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/${KIVANO_BUNDLE_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${KIVANO_BUNDLE_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Straight into a prefix, the desktop's caches learn of the entry (GIO finds scheme handlers through
# mimeinfo.cache) and of the icons. Packages (DESTDIR set) leave that to the system's triggers.
install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    set(share \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
    execute_process(COMMAND update-desktop-database -q \"\${share}/applications\" RESULT_VARIABLE rc ERROR_QUIET)
    if(NOT rc EQUAL 0)
      message(STATUS \"update-desktop-database did not run (\${rc}); URL schemes are known after the first start\")
    endif()
    if(EXISTS \"\${share}/icons/hicolor/icon-theme.cache\")
      execute_process(COMMAND gtk-update-icon-cache -q -t -f \"\${share}/icons/hicolor\" ERROR_QUIET)
    endif()
  endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivano)
set(CPACK_PACKAGE_VENDOR "${KIVANO_APP_NAME}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion for Hubstation home-automation controllers")
set(CPACK_PACKAGE_DESCRIPTION
  "The controller maker's web application in a window with native services, and a tray menu with the known controllers, quick actions and presence pulses.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KIVANO_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KIVANO_APP_NAME} developers <dev@kivano.invalid>")
# Depends from the shared libraries the program and its library link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
