#!/usr/bin/env bash
# Builds and runs every test suite (scripts/suites/*.sh, in name order).
# First installs, in one go, what the suites need on a Debian machine and
# decides which Wine runs the Windows suites. Each step's output is kept in
# build/logs/; a failing step is named and the end of its log shown. Ends
# with a table of the suites. Exits non-zero when any suite fails.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"
cd "$OVPRE_ROOT"

start=$SECONDS
install_packages || { echo "installing the packages failed"; exit 1; }
export OVPRE_PACKAGES_READY=1
wine_road || exit 1

passed=0
failed=0
rows=()
for suite in scripts/suites/*.sh; do
  name=$(basename "$suite" .sh)
  echo "=== suite $name"
  began=$SECONDS
  if bash "$suite"; then
    result=passed
    passed=$((passed + 1))
  else
    result=failed
    failed=$((failed + 1))
  fi
  rows+=("$(printf '%-16s %-7s %5d' "$name" "$result" $((SECONDS - began)))")
done

echo
printf '%-16s %-7s %5s\n' suite result seconds
printf '%s\n' "${rows[@]}"
printf '%-16s %-7s %5d\n' total "$([ $failed -eq 0 ] && echo passed || echo failed)" \
  $((SECONDS - start))
echo "$OVPRE_WINE_ROAD"
echo "suites: $passed passed, $failed failed"
[ $failed -eq 0 ]
