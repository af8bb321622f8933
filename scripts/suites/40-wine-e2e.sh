#!/usr/bin/env bash
# The Windows program end to end under Wine, each request started as the FTP
# server starts it (an exact raw command line through CreateProcessW):
# site pre on one drive and across two Linux file systems, dated and not,
# with a test double of the server's ownership control registered through
# COM; the control missing or failing; site preadd; other site commands.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

# Its own build without the unit tests: only the program is tested here.
build="$OVPRE_ROOT/build/win32-e2e"
tools="$OVPRE_ROOT/build/wine-tools"
need_win32_packages
need_packages python3
build_win32 "$build" -DOVPRE_BUILD_TESTS=OFF >/dev/null
check_win32_exe "$build/src/ovpre.exe"
cmake -S "$OVPRE_ROOT/tests/wine" -B "$tools" \
  -DCMAKE_TOOLCHAIN_FILE="$OVPRE_ROOT/cmake/toolchain-mingw-i686.cmake" >/dev/null
cmake --build "$tools" -j "$(nproc)"

# A prefix of its own: the control double gets registered in it.
wine_env_start "$OVPRE_ROOT/build/wine-prefix-e2e"
trap wine_env_stop EXIT
timeout 900 python3 "$OVPRE_ROOT/tests/wine/e2e.py" \
  --ovpre "$build/src/ovpre.exe" --tools "$tools" \
  --drive-e "$OVPRE_WINE_E" --drive-f "$OVPRE_WINE_F" </dev/null
