# make package: one Debian package per program, each needing only its own
# libraries, each with its copyright, changelog and manual page, as lintian
# expects them.

set(packages tavernly)
if(TAVERNLY_BUILD_SERVER)
  list(APPEND packages tavernly-server)
endif()
foreach(package ${packages})
  set(out ${PROJECT_BINARY_DIR}/packaging/${package})
  set(PACKAGE ${package})
  set(VERSION ${PROJECT_VERSION})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${out}/changelog @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${package}.1 ${out}/${package}.1 @ONLY)
  # Compressed without a name or time stamp, so the same sources give the same package.
  foreach(file changelog ${package}.1)
    execute_process(COMMAND gzip -n -9 -c ${out}/${file} OUTPUT_FILE ${out}/${file}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package})
  install(FILES ${out}/${package}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${package})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${packages})
set(CPACK_PACKAGE_VENDOR "Tavernly")
set(CPACK_PACKAGE_CONTACT "Tavernly developers <dev@tavernly.org>")
# Installed under DESTDIR with the real prefix, so the systemd unit names /usr/bin.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
# Each package names its own summary: the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TAVERNLY_PACKAGE_NAME tavernly)
set(CPACK_DEBIAN_TAVERNLY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TAVERNLY_DESCRIPTION "desktop client for the Tavernly forum service
Tavernly is a small online forum service. This client lists the forums on a
Tavernly server, shows their pages, creates forums, and composes, previews and
posts HTML messages with a small formatting toolbar.")
# Fonts and database drivers are loaded at run time, so the library scan cannot see them.
set(CPACK_DEBIAN_TAVERNLY_PACKAGE_DEPENDS "fonts-liberation")
# Forum names and messages may hold emoji; without a colour font they show as empty boxes.
set(CPACK_DEBIAN_TAVERNLY_PACKAGE_RECOMMENDS "fonts-noto-color-emoji")
set(CPACK_DEBIAN_TAVERNLY-SERVER_PACKAGE_NAME tavernly-server)
set(CPACK_DEBIAN_TAVERNLY-SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TAVERNLY-SERVER_DESCRIPTION "reference server for the Tavernly forum service
Serves the list, create and post ports and the forum pages of the Tavernly
forum service, keeping the forums in SQLite or, shared by several servers
behind HAProxy, in PostgreSQL. Comes with a hardened systemd unit and an
example HAProxy configuration.")
set(CPACK_DEBIAN_TAVERNLY-SERVER_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6sql6-psql")
set(CPACK_DEBIAN_TAVERNLY-SERVER_PACKAGE_SUGGESTS "haproxy, postgresql")
include(CPack)
