# Cross build of the shipped 32-bit ovpre.exe with Debian's MinGW-w64
# (package g++-mingw-w64-i686-posix):
#
#   cmake --preset win32          (or win32-release for the shipped build)
#
# The FTP server hosts its control as a 32-bit in-process COM server, which
# only loads into a 32-bit process: the program must be i686.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(OVPRE_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Built programs run under Wine when it is installed, so that CTest can run
# the unit tests on this machine.
find_program(OVPRE_WINE wine)
if(OVPRE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVPRE_WINE})
endif()
