#!/usr/bin/env bash
# The shipped Windows program: cross-built with MinGW-w64 into build/win32,
# checked to be one self-contained 32-bit GUI program, and the whole unit
# suite run under Wine.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

build="$OVPRE_ROOT/build/win32"
need_win32_packages
build_win32 "$build" -DOVPRE_BUILD_TESTS=ON
check_win32_exe "$build/src/ovpre.exe"

wine_env_start
trap wine_env_stop EXIT
ctest --test-dir "$build" --no-tests=error --output-on-failure --timeout 300 -j "$(nproc)"
