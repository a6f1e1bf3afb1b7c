# Installation beyond the programs themselves, and the Debian package.
#
# Each program installs itself to bin/ from its own directory, and
# cmake/ManPages.cmake its manual page; this adds what a desktop needs to
# offer the window in its menus (the .desktop entry and its icon), what every
# Debian package carries in /usr/share/doc (copyright, changelog) and the
# lintian overrides, then configures CPack to build
# lumo-service-tool_<version>_<arch>.deb.
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

set(CPACK_PACKAGE_NAME lumo-service-tool)

# The package's copyright file (machine-readable, with the notices of the
# header-only libraries compiled into lumoctl) and its changelog. The version
# is native (no Debian revision: this project packages itself), so Debian
# policy wants the changelog as changelog.gz, not changelog.Debian.gz, and
# compressed with gzip -9n so that equal input gives equal bytes.
set(LUMO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
install(FILES ${LUMO_PACKAGING_DIR}/copyright DESTINATION ${LUMO_DOC_DIR})
configure_file(${LUMO_PACKAGING_DIR}/changelog ${PROJECT_BINARY_DIR}/packaging/changelog COPYONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
                   COMMAND gzip -9nkf changelog
                   DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
                   WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
                   COMMENT "Compressing the changelog"
                   VERBATIM)
add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${LUMO_DOC_DIR})
# What lintian reports about this package and is meant so; each line says why.
install(FILES ${LUMO_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${CPACK_PACKAGE_NAME})

# CPack strips with a bare `strip`, which leaves the compiler's .comment
# section ("GCC: (Debian 12.2.0-14) 12.2.0") in the programs; Debian's own
# packages drop it (dh_strip), and so does a stripped install here. Runs
# after the programs are installed: this file is included last.
string(CONFIGURE [[
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program lumo-tool lumoctl lumo-sim)
      set(file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/${program}")
      if(EXISTS "${file}")
        execute_process(COMMAND "@CMAKE_OBJCOPY@" --remove-section=.comment "${file}" RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
          message(FATAL_ERROR "objcopy could not remove the .comment section of ${file}")
        endif()
      endif()
    endforeach()
  endif()
]] LUMO_REMOVE_COMMENT @ONLY)
install(CODE "${LUMO_REMOVE_COMMENT}")

# A sanitized build links libasan and libubsan, runs several times slower and
# reports leaks at exit: not something to hand to a technician. cpack in such
# a tree stops at once and says why.
if(LUMO_SANITIZE)
  set(CPACK_PROJECT_CONFIG_FILE ${LUMO_PACKAGING_DIR}/CPackRefuseSanitized.cmake)
endif()

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service tool for LUMO Modbus RTU linear actuators")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Configure, move, address and diagnose LUMO-D, LUMO-P and LUMO-B linear\n"
  "actuators on an RS-485 Modbus RTU bus through a USB-serial adapter.\n"
  "Contains the window (lumo-tool), the command-line tool for scripts and\n"
  "production lines (lumoctl) and a virtual bus of actuators for work\n"
  "without hardware (lumo-sim).")
# The project's role address, not a person's. The project has no domain of
# its own yet, so the address is under .example (reserved, RFC 2606): it
# cannot reach a stranger who owns a guessed domain, lintian accepts it, and
# it is replaced here, in packaging/copyright and in the next changelog entry
# once the project has a real one.
set(LUMO_MAINTAINER "LUMO service tool maintainers <maintainers@lumo-service-tool.example>")
set(CPACK_PACKAGE_CONTACT "${LUMO_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LUMO_MAINTAINER}")
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
