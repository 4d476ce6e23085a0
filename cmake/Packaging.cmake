# Installed files beside the programs, the manual pages and the Debian
# package (make package). Dependencies of the package come from
# dpkg-shlibdeps, plus what Qt loads at run time as plugins.

install(FILES ${PROJECT_SOURCE_DIR}/data/org.telvane.Telvane.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/data/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/telvane)

find_program(GZIP_PROGRAM gzip REQUIRED)
find_program(HELP2MAN_PROGRAM help2man REQUIRED)

# gzip -n: no name or time stamp in the archive, so the package is reproducible.
set(TELVANE_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${TELVANE_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/data/packaging/changelog > ${TELVANE_CHANGELOG_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/data/packaging/changelog
  VERBATIM)
add_custom_target(telvane_changelog ALL DEPENDS ${TELVANE_CHANGELOG_GZ})
install(FILES ${TELVANE_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/telvane)

# telvane_man_page(<target> <one-line description>)
#
# The manual page of a program, made by help2man from its own --help and
# --version, so the two never say different things; what --help has no room
# for comes from data/man/<target>.h2m. In a UTF-8 locale, since help2man
# would write every other character of --help as "?".
function(telvane_man_page target description)
  set(page ${CMAKE_BINARY_DIR}/man/${target}.1)
  set(include ${PROJECT_SOURCE_DIR}/data/man/${target}.h2m)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
      ${HELP2MAN_PROGRAM} --no-info --locale=C.UTF-8 --name=${description} --include=${include} --output=${page}
      $<TARGET_FILE:${target}>
    COMMAND ${GZIP_PROGRAM} -9n -f ${page}
    DEPENDS ${target} ${include}
    VERBATIM)
  add_custom_target(${target}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telvane)
set(CPACK_PACKAGE_VENDOR "The Telvane developers")
set(CPACK_PACKAGE_CONTACT "The Telvane developers <dev@telvane.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live values from an MQTT broker in a desktop widget")
set(CPACK_PACKAGE_DESCRIPTION
  "Telvane keeps one connection to an MQTT broker, such as the one of a home\n\
automation system, and feeds a desktop widget with the latest value of every\n\
topic chosen in its settings window. It speaks MQTT 3.1.1 and 5.0, learns\n\
every topic the broker carries and picks single values out of JSON payloads.\n\
The widget program shows them in status bars (Waybar, polybar, i3blocks), in\n\
desktop widgets (KDE Plasma, Conky, eww) or in a small window of its own.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://telvane.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded by Qt at run time, so dpkg-shlibdeps cannot see them: the platform
# plugins (X11, Wayland) and the SVG icon engine.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# The broker search asks the system's Avahi daemon; without it the search says so.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
