# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (scripts/windows): used for Qt itself and for
# Quarvel. The posix flavour of the compilers, because Qt's threads and std::thread need the winpthreads
# model; the win32 flavour has no std::thread in GCC 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARVEL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QUARVEL_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QUARVEL_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Headers and libraries of the target come from the MinGW sysroot (and from the prefixes the build names,
# such as the cross-built Qt); programs run during the build are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${QUARVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
