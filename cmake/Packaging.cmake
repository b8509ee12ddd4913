# Installation and the Debian package: the programs, the launcher with its icon, the manual pages,
# the copyright statement and the change log. `cpack -G DEB` in a build folder builds the package;
# scripts/check-package builds, checks (lintian) and unpacks it as part of the test run.
include(GNUInstallDirs)

# The window is built only with KESTREL_APP; the launcher and its icon come with it, since a menu
# entry for a program that is not installed would only fail.
foreach(program gsm-kestrel kestrel kestrel-modemsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET gsm-kestrel)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/gsm-kestrel.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/gsm-kestrel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The gateway as a system service: the unit where systemd looks for units of packages, and its
# options file as a configuration file the administrator edits (kept across upgrades).
if(TARGET kestrel)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/kestrel-gateway.service DESTINATION lib/systemd/system)
  # /etc itself, whatever the prefix: systemd reads the unit's options file from there. It may
  # hold a database password, hence readable by root alone (the package tells lintian so).
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/kestrel-gateway.default
          DESTINATION /etc/default RENAME kestrel-gateway
          PERMISSIONS OWNER_READ OWNER_WRITE)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/gsm-kestrel.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME gsm-kestrel)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles "/etc/default/kestrel-gateway\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles)
endif()

# The copyright and licence statement and the change log, where Debian looks for them.
set(kestrel_docdir ${CMAKE_INSTALL_DATADIR}/doc/gsm-kestrel)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${kestrel_docdir})

# Manual pages are installed compressed, as Debian keeps them; the version comes from the project.
# The window's page comes with the window.
set(kestrel_pages kestrel.1 kestrel-modemsim.1)
if(TARGET gsm-kestrel)
  list(APPEND kestrel_pages gsm-kestrel.1)
endif()
# -n leaves out name and time, so a compressed file depends on its text alone.
function(kestrel_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  configure_file(${source} ${out} @ONLY)
  execute_process(COMMAND gzip -9 -n -c ${out} OUTPUT_FILE ${out}.gz RESULT_VARIABLE gz)
  if(NOT gz EQUAL 0)
    message(FATAL_ERROR "cannot compress ${out}")
  endif()
  install(FILES ${out}.gz DESTINATION ${destination})
endfunction()
foreach(page ${kestrel_pages})
  kestrel_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/${page} ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
kestrel_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${kestrel_docdir})

set(CPACK_PACKAGE_NAME gsm-kestrel)
set(CPACK_PACKAGE_VENDOR "GSM Kestrel developers")
set(CPACK_PACKAGE_CONTACT "GSM Kestrel developers <gsm-kestrel@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GSM phone and modem tool: AT commands, SMS, smart messages")
# Debian keeps the extended description below 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Drives a GSM phone or modem on a serial line with AT commands (3GPP TS 27.007
and 27.005): enters the SIM PIN, shows registration and signal strength, and
sends and receives short messages in PDU and text mode, including picture
messages, operator logos, caller icons, ringing tones, vCards, vCalendars,
multipart messages and EMS objects. Comes with the window gsm-kestrel, the
command-line front end kestrel (offline PDU and payload tools, modem sessions)
and kestrel-modemsim, a virtual handset on a pseudo-terminal for trying it
without hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The operator names come from this data package when it is there; the program works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mobile-broadband-provider-info)
# The message store opens its database through Qt SQL driver plugins: SQLite for the file every
# installation has, PostgreSQL for a shared server when one is configured.
if(TARGET kestrel_store)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CPACK_DEBIAN_PACKAGE_RECOMMENDS}, libqt6sql6-psql")
endif()

# The shared libraries the programs link (Qt 6, the C++ runtime) are read from the binaries by
# dpkg-shlibdeps, with the versions they need. What the binaries do not show: the window needs a
# Qt platform plugin to open on a display.
set(kestrel_depends "")
if(TARGET gsm-kestrel)
  list(APPEND kestrel_depends qt6-qpa-plugins)
endif()
if(TARGET kestrel_store)
  list(APPEND kestrel_depends libqt6sql6-sqlite)
endif()
find_program(KESTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev: the same packages without versions.
  list(APPEND kestrel_depends libqt6core6 libqt6gui6 libc6 libstdc++6 libgcc-s1)
  if(TARGET kestrel_store)
    list(APPEND kestrel_depends libqt6sql6)
  endif()
  if(TARGET kestrel_api)
    list(APPEND kestrel_depends libqt6httpserver6 libqt6network6)
  endif()
  if(TARGET gsm-kestrel)
    list(APPEND kestrel_depends libqt6widgets6)
  endif()
endif()
list(JOIN kestrel_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

include(CPack)
