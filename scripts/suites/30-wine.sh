#!/usr/bin/env bash
# The shipped Windows program: cross-built with MinGW-w64 into build/win32 and
# checked to be one self-contained 32-bit GUI program that needs nothing newer
# than Windows 7 (docs/windows.md's table of what it needs); then the whole unit
# suite under Wine: 32-bit (preset win32) where this machine runs 32-bit
# programs, else 64-bit (preset win64).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

wine_road
build_shipped_exe
check_win7_floor "$OVPRE_ROOT/build/win32/src/ovpre.exe"
[ "$OVPRE_WIN_PRESET" = win32 ] || build_preset "$OVPRE_WIN_PRESET"

wine_env_start
trap wine_env_stop EXIT
test_preset "$OVPRE_WIN_PRESET"
