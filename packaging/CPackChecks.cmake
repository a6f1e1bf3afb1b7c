# Read by cpack before each generator runs.
#
# Without dpkg-shlibdeps CPack still builds the .deb, only with no Depends
# line, and says so in one status line: a package that installs cleanly and
# then cannot start. Stop instead, and say what to install.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  find_program(LUMO_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(LUMO_FILE file)
  if(NOT LUMO_DPKG_SHLIBDEPS OR NOT LUMO_FILE)
    message(FATAL_ERROR
      "The .deb's dependencies are computed with dpkg-shlibdeps and file(1); "
      "install them first: sudo apt-get install dpkg-dev file")
  endif()
endif()
