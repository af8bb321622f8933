# Cross build of a 64-bit ovpre.exe with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix):
#
#   cmake --preset win64
#
# Not what is shipped (the FTP server's control loads only into 32-bit
# programs; see toolchain-mingw-i686.cmake). It lets the unit and end-to-end
# suites run under 64-bit Wine on machines whose kernel refuses 32-bit
# programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OVPRE_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Built programs run under 64-bit Wine. Debian keeps its loader out of PATH,
# and "wine" picks the 32-bit loader whenever it is installed, even where the
# kernel cannot run it.
find_program(OVPRE_WINE NAMES wine64 PATHS /usr/lib/wine)
if(OVPRE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVPRE_WINE})
endif()
