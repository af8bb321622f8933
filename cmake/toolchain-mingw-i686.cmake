# Cross build of the shipped 32-bit ovpre.exe with Debian's MinGW-w64
# (package g++-mingw-w64-i686-posix):
#
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#
# The FTP server hosts its control as a 32-bit in-process COM server, which
# only loads into a 32-bit process: the program must be i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The -posix variants: the win32 thread model lacks std::thread and friends.
set(OVPRE_MINGW_PREFIX i686-w64-mingw32)
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

# Built programs run under Wine when it is installed, so that CTest can run
# the unit tests on this machine.
find_program(OVPRE_WINE wine)
if(OVPRE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVPRE_WINE})
endif()

# The shipped Release program carries no symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
