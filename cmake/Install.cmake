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
#   share/man/man1/kivano.1.gz                   the manual page
#   share/doc/kivano/copyright                   licence (machine-readable), and changelog.Debian.gz
#   share/lintian/overrides/kivano               what Debian's package checker need not say of it
# and a Debian package of it: cpack -G DEB (in the build folder), the same bytes from any folder.
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

# The release time: SOURCE_DATE_EPOCH when set, else midnight (UTC) of the release date. It dates
# the manual page, the Debian changelog and every file in the package.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(KIVANO_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  # Days since 1970-01-01 of the proleptic Gregorian date (the civil-from-days inverse).
  string(REGEX MATCH "^([0-9]+)-0?([0-9]+)-0?([0-9]+)$" _ "${KIVANO_RELEASE_DATE}")
  set(_y ${CMAKE_MATCH_1})
  if(CMAKE_MATCH_2 LESS_EQUAL 2)
    math(EXPR _y "${_y} - 1")
  endif()
  math(EXPR _era "${_y} / 400")
  math(EXPR _yoe "${_y} - ${_era} * 400")
  math(EXPR _doy "(153 * ((${CMAKE_MATCH_2} + 9) % 12) + 2) / 5 + ${CMAKE_MATCH_3} - 1")
  math(EXPR _doe "${_yoe} * 365 + ${_yoe} / 4 - ${_yoe} / 100 + ${_doy}")
  math(EXPR KIVANO_SOURCE_DATE_EPOCH "(${_era} * 146097 + ${_doe} - 719468) * 86400")
endif()
set(_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${KIVANO_SOURCE_DATE_EPOCH})
string(TIMESTAMP KIVANO_RELEASE_TIME "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_saved_epoch}")

set(KIVANO_DEBIAN_VERSION "${PROJECT_VERSION}-${KIVANO_BUILD_NUMBER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KIVANO_APP_NAME} developers <dev@kivano.invalid>")
configure_file(${CMAKE_SOURCE_DIR}/resources/kivano.1 ${CMAKE_BINARY_DIR}/doc/kivano.1 @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog.Debian @ONLY)
# Compressed as Debian wants them, without a name or time in the header.
set(KIVANO_DOC_FILES)
foreach(doc kivano.1 changelog.Debian)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/${doc}.gz
    COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/doc/${doc}
    DEPENDS ${CMAKE_BINARY_DIR}/doc/${doc}
    COMMENT "Compressing ${doc}")
  list(APPEND KIVANO_DOC_FILES ${CMAKE_BINARY_DIR}/doc/${doc}.gz)
endforeach()
add_custom_target(kivano_docs ALL DEPENDS ${KIVANO_DOC_FILES})
install(FILES ${CMAKE_BINARY_DIR}/doc/kivano.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kivano)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME kivano)

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
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Kivano shows the controller maker's web application in a window, with native"
  "services offered to it: files, the keyring, locale formatting, network state,"
  "controller discovery, camera streams and intercom calls."
  ""
  "A tray menu lists the known controllers, runs their quick actions and sends"
  "presence pulses to the selected presence control while the user is at the"
  "computer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KIVANO_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Depends from the shared libraries the program and its library link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries lie in a private folder, which the dynamic linker's cache never lists: no ldconfig
# calls. (CPack writes them for any library below lib/ unless the package names its own scripts;
# a name of a script that does not exist suppresses them and adds none.)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/no-maintainer-scripts/postinst;${CMAKE_BINARY_DIR}/no-maintainer-scripts/postrm")
# The package's times are the release time, whatever the build's.
configure_file(${CMAKE_SOURCE_DIR}/cmake/CPackOptions.cmake.in ${CMAKE_BINARY_DIR}/CPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackOptions.cmake)
include(CPack)
