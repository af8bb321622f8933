#!/usr/bin/env bash
# The unit and command tests on the native POSIX build (preset native).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_preset native
test_preset native
