#!/usr/bin/env bash
# The whole unit and command test suite, built with clang's AddressSanitizer
# and UndefinedBehaviorSanitizer (preset sanitizers). Every leak, overflow or
# undefined operation ends the test that caused it.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_preset sanitizers
test_preset sanitizers
