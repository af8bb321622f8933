#!/usr/bin/env bash
# The unit and command tests on the native POSIX build.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_native "$OVPRE_ROOT/build/native" -DOVPRE_BUILD_TESTS=ON
ctest --test-dir "$OVPRE_ROOT/build/native" --no-tests=error --output-on-failure -j "$(nproc)"
