# Manual pages of the three programs, written by hand in docs/man/<program>.1.in.
# CMake fills in the version of project() and the date of the release, the
# date of the top entry of packaging/changelog, and the build compresses them
# the way Debian installs them (gzip -9n: no name, no time stamp, so the same
# page gives the same bytes). The test program_docs checks each page against
# its program's --help.
#
# Sets LUMO_MAN_DIR (the folder of <program>.1 and <program>.1.gz) and
# LUMO_MAN_PAGES (the programs that have one in this tree).

set(LUMO_MAN_PAGES "")
# Manual pages are a matter of the Linux build; the Windows build has none.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

# " -- Name <address>  Thu, 10 Dec 2026 08:00:00 +0000" -> 2026-12-10
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog lumo_trailers REGEX "^ -- ")
list(GET lumo_trailers 0 lumo_trailer)
set(lumo_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
if(NOT lumo_trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "packaging/changelog: no date in the top entry's trailer line '${lumo_trailer}'")
endif()
list(FIND lumo_months ${CMAKE_MATCH_2} lumo_month)
math(EXPR lumo_month "${lumo_month} + 1")
math(EXPR lumo_day "${CMAKE_MATCH_1}")
string(LENGTH "${lumo_month}" lumo_length)
if(lumo_length EQUAL 1)
  set(lumo_month 0${lumo_month})
endif()
string(LENGTH "${lumo_day}" lumo_length)
if(lumo_length EQUAL 1)
  set(lumo_day 0${lumo_day})
endif()
set(LUMO_RELEASE_DATE "${CMAKE_MATCH_3}-${lumo_month}-${lumo_day}")
# A new entry changes the date.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)

set(LUMO_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(lumo_compressed "")
foreach(program lumo-tool lumoctl lumo-sim)
  if(NOT TARGET ${program})
    continue()
  endif()
  list(APPEND LUMO_MAN_PAGES ${program})
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${program}.1.in ${LUMO_MAN_DIR}/${program}.1 @ONLY)
  add_custom_command(OUTPUT ${LUMO_MAN_DIR}/${program}.1.gz
                     COMMAND gzip -9nkf ${program}.1
                     DEPENDS ${LUMO_MAN_DIR}/${program}.1
                     WORKING_DIRECTORY ${LUMO_MAN_DIR}
                     COMMENT "Compressing the manual page of ${program}"
                     VERBATIM)
  list(APPEND lumo_compressed ${LUMO_MAN_DIR}/${program}.1.gz)
  install(FILES ${LUMO_MAN_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${lumo_compressed})
