#!/usr/bin/env bash
# Builds the shipped program: a stripped 32-bit ovpre.exe and the ZIP with
# it and readme.txt, in build/windows. Installs MinGW-w64 when missing.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

build="$OVPRE_ROOT/build/windows"
need_packages cmake make g++-mingw-w64-i686-posix mingw-w64-tools
cmake -S "$OVPRE_ROOT" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$OVPRE_ROOT/cmake/toolchain-mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DOVPRE_BUILD_TESTS=OFF -DOVPRE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target package
check_win32_exe "$build/src/ovpre.exe"
echo "program: $build/src/ovpre.exe"
echo "package: $(ls "$build"/ovpre-*-win32.zip)"
