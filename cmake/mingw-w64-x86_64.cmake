# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix threads
# variant, so std::thread and std::mutex work). Programs are linked
# statically: they run under Wine or on Windows without any mingw DLL.
#
#   cmake -S tests/windows -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUMO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LUMO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LUMO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Release at -O2 rather than CMake's -O3: at -O3, GCC 12 warns of an
# overlapping memcpy inside std::string that cannot happen (GCC bug 105329),
# which fails a build with warnings as errors. Qt itself is built at -O2.
# (Set as the cache entries: CMake appends its own -O3 to any _INIT value.)
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
