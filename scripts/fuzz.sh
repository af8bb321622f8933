#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer; preset fuzz, build/fuzz) and runs them side by side for a while.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: fields settings dispatch
#
# Each target starts from its seed corpus in fuzz/corpus/<target>/ plus what
# earlier runs found (build/fuzz/corpus/<target>/). A crash, leak, sanitizer
# report or timeout fails the script; the input that caused it is written to
# fuzz/out/ and belongs in fuzz/corpus/<target>/ once it is fixed. Each
# target's output is in build/logs/fuzz-<target>.log.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fields settings dispatch)

need_packages clang libclang-rt-14-dev cmake make zlib1g-dev python3 unicode-data
build="$OVPRE_ROOT/build/fuzz"
build_preset fuzz --target "${targets[@]/%/_fuzzer}"

mkdir -p "$OVPRE_ROOT/fuzz/out"
echo "fuzzing ${targets[*]} side by side for ${seconds}s"
pids=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  run_step "fuzz-$target" "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$OVPRE_ROOT/fuzz/out/$target-" \
    "$work" "$OVPRE_ROOT/fuzz/corpus/$target" &
  pids+=($!)
done
failed=()
for i in "${!targets[@]}"; do
  wait "${pids[$i]}" || failed+=("${targets[$i]}")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in fuzz/out/)"
  exit 1
fi
for target in "${targets[@]}"; do
  echo "$target: $(grep -E '^stat::number_of_executed_units' "$OVPRE_LOGS/fuzz-$target.log" || true)"
done
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without findings"
