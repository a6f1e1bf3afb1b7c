# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
#
# CPack builds a .deb even when dpkg-shlibdeps is missing or finds nothing:
# it only notes "the package will have no dependencies" and carries on. Such
# a package installs cleanly and then cannot start for want of Qt. Refuse it
# here, and remove it so that nobody ships it by mistake.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND dpkg-deb --field ${package} Depends
                  OUTPUT_VARIABLE depends
                  RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR depends STREQUAL "")
    file(REMOVE ${package})
    message(FATAL_ERROR
      "${package} declares no Depends, so it was removed. Its dependencies are "
      "computed with dpkg-shlibdeps and file(1): sudo apt-get install dpkg-dev file")
  endif()
endforeach()
