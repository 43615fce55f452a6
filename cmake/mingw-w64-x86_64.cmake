# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (its posix-thread compilers, whose
# C++ runtime has std::thread and std::mutex). Qt for Windows comes through CMAKE_PREFIX_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELVRA_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KELVRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVRA_MINGW_TRIPLET}-windres)

# Libraries and headers of the target come from the mingw sysroot and the prefixes given; the
# host's programs (Qt's moc, rcc) from anywhere.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The prefixes given by CMAKE_PREFIX_PATH are searched as they are, not below the sysroot.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

# zlib is linked in, so the programs need no zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
