#!/usr/bin/env bash
# The whole unit and command test suite, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang when present, else gcc).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
if command -v clang++ >/dev/null; then
  need_packages libclang-rt-14-dev
  export CC=clang CXX=clang++
fi
build_native "$OVPRE_ROOT/build/asan" -DOVPRE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVPRE_BUILD_TESTS=ON
# Every leak, overflow or undefined operation ends the test that caused it.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$OVPRE_ROOT/build/asan" --no-tests=error --output-on-failure -j "$(nproc)"
