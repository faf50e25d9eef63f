# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain (the
# posix-threads flavour, whose libstdc++ has std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LF_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LF_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LF_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LF_MINGW_PREFIX}-windres)

# Libraries and packages come from the MinGW tree only, never from the host's
# /usr, whose Linux builds would link but not run.
set(CMAKE_FIND_ROOT_PATH /usr/${LF_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
