#!/usr/bin/env bash
# The unit and command tests on the native POSIX build.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_native "$OVPRE_ROOT/build/native"
ctest --test-dir "$OVPRE_ROOT/build/native" --output-on-failure -j "$(nproc)"
