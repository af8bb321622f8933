# What the MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and OVPRE_MINGW_PREFIX first and includes this.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants: the win32 thread model lacks std::thread and friends.
set(CMAKE_C_COMPILER ${OVPRE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OVPRE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OVPRE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OVPRE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One file to copy onto the server: the C and C++ runtimes and winpthread
# are linked in, so the program imports only Windows system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The shipped Release program carries no symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
