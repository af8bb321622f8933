#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) into build/fuzz and runs each for a while.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: fields settings dispatch
#
# Each target starts from its seed corpus in fuzz/corpus/<target>/ plus what
# earlier runs found (build/fuzz/corpus/<target>/). A crash, leak, sanitizer
# report or timeout fails the script; the input that caused it is written to
# fuzz/out/ and belongs in fuzz/corpus/<target>/ once it is fixed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fields settings dispatch)

need_packages clang libclang-rt-14-dev cmake make
build="$OVPRE_ROOT/build/fuzz"
CC=clang CXX=clang++ cmake -S "$OVPRE_ROOT" -B "$build" -DOVPRE_FUZZ=ON \
  -DOVPRE_BUILD_TESTS=OFF -DOVPRE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

mkdir -p "$OVPRE_ROOT/fuzz/out"
failed=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  echo "--- fuzzing $target for ${seconds}s"
  if ! "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$OVPRE_ROOT/fuzz/out/$target-" \
      "$work" "$OVPRE_ROOT/fuzz/corpus/$target" 2>"$build/$target.log"; then
    failed+=("$target")
    tail -n 60 "$build/$target.log"
  else
    grep -E '^(stat::number_of_executed_units|Done)' "$build/$target.log" || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in fuzz/out/)"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without findings"
