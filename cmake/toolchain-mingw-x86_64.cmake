# Cross build of a 64-bit ovpre.exe with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix):
#
#   cmake --preset win64
#
# Not what is shipped (the FTP server loads its control into 32-bit programs
# only; see toolchain-mingw-i686.cmake). It exists so that the unit and
# end-to-end suites run under 64-bit Wine on machines whose kernel refuses
# 32-bit programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix variants: the win32 thread model lacks std::thread and friends.
set(OVPRE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OVPRE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OVPRE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OVPRE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OVPRE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One file to copy: the C and C++ runtimes and winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The program starts at wWinMain; the test programs keep their ordinary main.
set(OVPRE_WIDE_ENTRY_LINK_OPTIONS -municode)

# Built programs run under 64-bit Wine. Debian keeps its loader out of PATH,
# and "wine" picks the 32-bit loader whenever it is installed, even where the
# kernel cannot run it.
find_program(OVPRE_WINE NAMES wine64 PATHS /usr/lib/wine)
if(OVPRE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVPRE_WINE})
endif()
