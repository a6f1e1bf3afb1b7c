# The Windows installer: `cmake --build <dir> --target installer` writes
# lumo-service-tool-<version>-setup.exe into the build folder with NSIS
# (Debian's nsis, makensis), from packaging/windows/lumo-service-tool.nsi.
#
# It carries lumo-tool.exe (linked statically with Qt: no DLL or plugin
# beside it), lumoctl.exe, the licence of this program (LICENSE at the top
# of the source), Qt's notice and licence texts, and the licences of what
# else is linked in: the mingw-w64 runtime and GCC's runtime libraries,
# SQLite, and in lumoctl.exe the header-only CLI11 and nlohmann-json.

find_program(LUMO_MAKENSIS makensis)
if(NOT LUMO_MAKENSIS)
  message(STATUS "makensis not found (Debian package nsis): no installer target")
  return()
endif()
if(NOT TARGET lumo-tool)
  return()
endif()

set(LUMO_SETUP ${CMAKE_BINARY_DIR}/lumo-service-tool-${PROJECT_VERSION}-setup.exe)
set(LUMO_STAGE ${CMAKE_BINARY_DIR}/installer-stage)
set(LUMO_NSI ${PROJECT_SOURCE_DIR}/packaging/windows/lumo-service-tool.nsi)
set(LUMO_LICENCE ${PROJECT_SOURCE_DIR}/LICENSE)
# Qt's install folder; scripts/qt-windows.sh puts Qt's licence texts into
# its licenses/ folder.
get_filename_component(LUMO_QT_PREFIX ${Qt6_DIR}/../../.. ABSOLUTE)

configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/qt-notice.txt.in ${CMAKE_BINARY_DIR}/qt-notice.txt @ONLY)

# Texts of what is linked in besides Qt, from the Debian packages that
# supplied it: installed name, then the Debian copyright file.
set(LUMO_THIRD_PARTY
  "mingw-w64-runtime.txt=/usr/share/doc/mingw-w64-x86-64-dev/copyright"
  "gcc-runtime.txt=/usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright")
# SQLite (the service records) is in the public domain; the copyright file
# of Debian's source says so. scripts/sqlite-windows.sh puts it beside the
# library.
get_filename_component(LUMO_SQLITE_LICENCE ${SQLite3_INCLUDE_DIR}/../licenses/debian-copyright ABSOLUTE)
if(EXISTS ${LUMO_SQLITE_LICENCE})
  list(APPEND LUMO_THIRD_PARTY "SQLite.txt=${LUMO_SQLITE_LICENCE}")
endif()
set(LUMO_PROGRAMS lumo-tool)
if(TARGET lumoctl)
  list(APPEND LUMO_PROGRAMS lumoctl)
  list(APPEND LUMO_THIRD_PARTY
    "CLI11.txt=/usr/share/doc/libcli11-dev/copyright"
    "nlohmann-json.txt=/usr/share/doc/nlohmann-json3-dev/copyright")
endif()

set(LUMO_STAGE_COMMANDS
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${LUMO_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMO_STAGE}/licenses/Qt)
set(LUMO_PROGRAM_FILES)
foreach(program ${LUMO_PROGRAMS})
  # Debug information would make lumo-tool.exe several times larger.
  list(APPEND LUMO_STAGE_COMMANDS
    COMMAND ${CMAKE_STRIP} -o ${LUMO_STAGE}/${program}.exe $<TARGET_FILE:${program}>)
  list(APPEND LUMO_PROGRAM_FILES $<TARGET_FILE:${program}>)
endforeach()
set(LUMO_THIRD_PARTY_FILES)
foreach(row ${LUMO_THIRD_PARTY})
  string(REPLACE "=" ";" pair ${row})
  list(GET pair 0 name)
  list(GET pair 1 source)
  list(APPEND LUMO_STAGE_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy ${source} ${LUMO_STAGE}/licenses/${name})
  list(APPEND LUMO_THIRD_PARTY_FILES ${source})
endforeach()

add_custom_command(OUTPUT ${LUMO_SETUP}
  ${LUMO_STAGE_COMMANDS}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${LUMO_QT_PREFIX}/licenses ${LUMO_STAGE}/licenses/Qt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/qt-notice.txt ${LUMO_STAGE}/licenses/Qt/NOTICE.txt
  # The licence page: this program's licence, then Qt's notice.
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${LUMO_STAGE}/LICENSE.txt
          "-DINPUTS=${LUMO_LICENCE}|${CMAKE_BINARY_DIR}/qt-notice.txt"
          -P ${PROJECT_SOURCE_DIR}/packaging/windows/LicenceText.cmake
  COMMAND ${LUMO_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${LUMO_STAGE} -DOUTFILE=${LUMO_SETUP}
          ${LUMO_NSI}
  DEPENDS ${LUMO_PROGRAMS} ${LUMO_PROGRAM_FILES} ${LUMO_NSI} ${LUMO_LICENCE} ${LUMO_THIRD_PARTY_FILES}
          ${CMAKE_BINARY_DIR}/qt-notice.txt ${LUMO_QT_PREFIX}/licenses
          ${PROJECT_SOURCE_DIR}/packaging/windows/LicenceText.cmake
  COMMENT "Building lumo-service-tool-${PROJECT_VERSION}-setup.exe"
  VERBATIM)
add_custom_target(installer DEPENDS ${LUMO_SETUP})
