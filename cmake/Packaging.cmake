# Installation beyond the programs themselves, and the Debian package.
#
# Each program installs itself to bin/ from its own directory; this adds what
# a desktop needs to offer the window in its menus (the .desktop entry and
# its icon), then configures CPack to build lumo-service-tool_<version>_<arch>.deb.
# The package is built from whatever tree this is, so build it from a
# Release tree without sanitizers (scripts/package-test.sh does).

# Desktop entries, hicolor icons and .deb files are Linux matters; the
# Windows build installs its programs and nothing more.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(LUMO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# The entry and the icon only make sense beside the window; a tree built
# without it installs the command-line programs alone.
if(TARGET lumo-tool)
  install(FILES ${LUMO_PACKAGING_DIR}/lumo-tool.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${LUMO_PACKAGING_DIR}/lumo-tool.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# A sanitized build links libasan and libubsan, runs several times slower and
# reports leaks at exit: not something to hand to a technician. cpack in such
# a tree stops at once and says why.
if(LUMO_SANITIZE)
  set(CPACK_PROJECT_CONFIG_FILE ${LUMO_PACKAGING_DIR}/CPackRefuseSanitized.cmake)
endif()

set(CPACK_PACKAGE_NAME lumo-service-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service tool for LUMO Modbus RTU linear actuators")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Configure, move, address and diagnose LUMO-D, LUMO-P and LUMO-B linear\n"
  "actuators on an RS-485 Modbus RTU bus through a USB-serial adapter.\n"
  "Contains the window (lumo-tool), the command-line tool for scripts and\n"
  "production lines (lumoctl) and a virtual bus of actuators for work\n"
  "without hardware (lumo-sim).")
set(CPACK_PACKAGE_CONTACT "LUMO service tool developers")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "LUMO service tool developers")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# lumo-service-tool_<version>_<arch>.deb rather than CPack's own <name>-<version>-Linux.deb.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps reads the programs' libraries and turns them into versioned
# dependencies (libc6, libstdc++6, libqt6core6, libqt6gui6, libqt6widgets6 ...),
# so the list follows what is really linked: a tree without the window
# needs no Qt. Debian's libqt6gui6 carries the xcb platform plugin itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The captions are spaced for Tahoma's metrics; the window loads Wine's
# Tahoma-metric font when it is there and falls back to the system font.
if(TARGET lumo-tool)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-wine)
endif()
# Read by cpack once the packages are built: a .deb without a Depends line is
# removed and cpack fails.
set(CPACK_POST_BUILD_SCRIPTS ${LUMO_PACKAGING_DIR}/CPackChecks.cmake)

include(CPack)
