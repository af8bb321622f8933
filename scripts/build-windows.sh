#!/usr/bin/env bash
# Builds the shipped program: a stripped 32-bit ovpre.exe and the ZIP with
# it and readme.txt, in build/win32-release (preset win32-release). Installs
# MinGW-w64 when missing.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

build="$OVPRE_ROOT/build/win32-release"
need_packages cmake make g++-mingw-w64-i686-posix mingw-w64-tools libz-mingw-w64-dev
build_preset win32-release
check_win32_exe "$build/src/ovpre.exe"
check_win7_floor "$build/src/ovpre.exe"
echo "program: $build/src/ovpre.exe"
echo "package: $(ls "$build"/ovpre-*-win32.zip)"
