# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads), for Qt and the program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAMSEL_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TAMSEL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMSEL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TAMSEL_MINGW}-windres)

# The sysroot, and the cross-built Qt and GoogleTest named by CMAKE_PREFIX_PATH; programs (moc,
# uic, rcc) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${TAMSEL_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
