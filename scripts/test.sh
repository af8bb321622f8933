#!/usr/bin/env bash
# Builds and runs every test suite (scripts/suites/*.sh, in name order).
# Installs what the suites need on a Debian machine. Exits non-zero when any
# suite fails.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$OVPRE_ROOT"

passed=0
failed=0
failures=()
for suite in scripts/suites/*.sh; do
  name=$(basename "$suite" .sh)
  echo "=== suite $name"
  if bash "$suite"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
done
[ $failed -eq 0 ] || echo "failed suites: ${failures[*]}"
echo "suites: $passed passed, $failed failed"
[ $failed -eq 0 ]
