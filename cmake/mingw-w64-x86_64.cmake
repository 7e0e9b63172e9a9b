# Cross build for 64-bit Windows with Debian's mingw-w64. The -posix
# compilers carry the POSIX thread model, which std::thread and std::mutex
# need; programs link statically (libstdc++, libgcc, winpthread), so they
# run without a DLL beside them.
#   QUELLON_WINDEPS_PREFIX  where OpenSSL, SQLite and GoogleTest were built
#                           for this target (scripts/windows-deps prints it)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUELLON_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QUELLON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELLON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELLON_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QUELLON_MINGW_TRIPLE}-gcc-ar-posix)
set(CMAKE_RANLIB ${QUELLON_MINGW_TRIPLE}-gcc-ranlib-posix)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Libraries and headers of the target only: the cross sysroot and the
# dependencies' prefix; programs (perl, openssl) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QUELLON_MINGW_TRIPLE})
if(DEFINED ENV{QUELLON_WINDEPS_PREFIX})
  set(QUELLON_WINDEPS_PREFIX $ENV{QUELLON_WINDEPS_PREFIX} CACHE PATH "")
endif()
if(QUELLON_WINDEPS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${QUELLON_WINDEPS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
