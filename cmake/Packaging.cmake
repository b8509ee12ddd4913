# Installation and the Debian package: the programs, the launcher with its icon, and the manual
# pages of the two command-line programs. `cpack -G DEB` in a build folder builds the package;
# scripts/check-package builds and unpacks it as part of the test run.
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

# Manual pages are installed compressed, as Debian keeps them; the version comes from the project.
foreach(page kestrel.1 kestrel-modemsim.1)
  set(source ${PROJECT_SOURCE_DIR}/packaging/${page})
  set(page_out ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  configure_file(${source} ${page_out} @ONLY)
  # -n leaves out name and time, so the compressed page depends on its text alone.
  execute_process(COMMAND gzip -9 -n -c ${page_out} OUTPUT_FILE ${page_out}.gz RESULT_VARIABLE gz)
  if(NOT gz EQUAL 0)
    message(FATAL_ERROR "cannot compress ${page_out}")
  endif()
  install(FILES ${page_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(CPACK_PACKAGE_NAME gsm-kestrel)
set(CPACK_PACKAGE_VENDOR "GSM Kestrel developers")
set(CPACK_PACKAGE_CONTACT "GSM Kestrel developers <gsm-kestrel@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GSM phone and modem tool: AT commands, SMS, smart messages")
set(CPACK_PACKAGE_DESCRIPTION
    "Drives a GSM phone or modem on a serial line with AT commands (3GPP TS 27.007 and 27.005):
enters the SIM PIN, shows registration and signal strength, and sends and receives short
messages in PDU and text mode, including picture messages, operator logos, caller icons,
ringing tones, vCards, vCalendars, multipart messages and EMS objects. Comes with the window
gsm-kestrel, the command-line front end kestrel (offline PDU and payload tools, modem sessions)
and kestrel-modemsim, a virtual handset on a pseudo-terminal for trying it without hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The operator names come from this data package when it is there; the program works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mobile-broadband-provider-info)

# The shared libraries the programs link (Qt 6, the C++ runtime) are read from the binaries by
# dpkg-shlibdeps, with the versions they need. What the binaries do not show: the window needs a
# Qt platform plugin to open on a display.
set(kestrel_depends "")
if(TARGET gsm-kestrel)
  list(APPEND kestrel_depends qt6-qpa-plugins)
endif()
find_program(KESTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev: the same packages without versions.
  list(APPEND kestrel_depends libqt6core6 libqt6gui6 libc6 libstdc++6 libgcc-s1)
  if(TARGET gsm-kestrel)
    list(APPEND kestrel_depends libqt6widgets6)
  endif()
endif()
list(JOIN kestrel_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

include(CPack)
