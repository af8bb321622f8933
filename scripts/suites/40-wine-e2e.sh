#!/usr/bin/env bash
# The Windows program end to end under Wine, each request started as the FTP
# server starts it (an exact raw command line through CreateProcessW):
# site pre on one drive and across two Linux file systems, dated and not,
# with a test double of the server's ownership control registered through
# COM; the control missing or failing; site preadd; other site commands.
# Uses the program, the prefix and the Wine of the unit suite (30-wine).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

wine_road
build="$OVPRE_ROOT/build/$OVPRE_WIN_PRESET"
build_preset "$OVPRE_WIN_PRESET" --target ovpre
build_wine_tools

wine_env_start
trap wine_env_stop EXIT
run_step "e2e-$OVPRE_WIN_PRESET" timeout 900 python3 "$OVPRE_ROOT/tests/wine/e2e.py" \
  --ovpre "$build/src/ovpre.exe" --tools "$build/wine-tools" \
  --drive-e "$OVPRE_WINE_E" --drive-f "$OVPRE_WINE_F"
