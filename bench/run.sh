#!/usr/bin/env bash
# Measures ovpre against GNU coreutils doing the same work on the same tree.
# Not part of CI: it takes a few minutes and wants a quiet machine.
#
#   bench/run.sh              all four comparisons, 3 alternating rounds
#   OVPRE_BENCH_ROUNDS=5 bench/run.sh
#
# Builds a Release binary into build/release (preset release), writes the trees under
# $OVPRE_BENCH_DIR (default /tmp/ovpre-bench) and /dev/shm/ovpre-bench, and
# keeps the hyperfine exports in bench/out/. Each comparison runs in rounds;
# every round times both commands with hyperfine, the order swapped from one
# round to the next, and the medians over all rounds are compared.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
need_packages g++ cmake make hyperfine time python3 zlib1g-dev

rounds=${OVPRE_BENCH_ROUNDS:-3}
work=${OVPRE_BENCH_DIR:-/tmp/ovpre-bench}
shm=/dev/shm/ovpre-bench
build="$OVPRE_ROOT/build/release"
out="$OVPRE_ROOT/bench/out"
bench="$OVPRE_ROOT/bench"

echo "== build (Release)"
build_preset release >/dev/null
c++ -std=c++17 -O3 -DNDEBUG "$bench/trivial.cpp" -o "$build/trivial"

echo "== machine"
echo "cpu: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores;" \
  "kernel $(uname -r); $(du --version | head -1); hyperfine $(hyperfine --version | cut -d' ' -f2)"
echo "file systems: $work on $(stat -f -c %T "$(dirname "$work")"), $shm on $(stat -f -c %T /dev/shm)"

echo "== trees"
rm -rf "$work" "$shm"
mkdir -p "$work/bin" "$work/raiden/Output" "$work/pre" "$work/dest" "$work/walk" \
  "$work/walkdest/Big" "$shm/dest" "$out"
cp "$build/src/ovpre" "$work/bin/ovpre"
exe="$work/bin/ovpre"
# Owner and permissions are left empty: the coreutils commands change none.
printf '%s\r\n' "sitename=Bench" "raidendir=$work/raiden" "announcefile=$work/announce.dat" \
  "group=SAMEFS" "owndir=$work/pre" "todir=$work/dest" "dated=0" \
  "group=OTHERFS" "owndir=$work/pre" "todir=$shm/dest" "dated=0" \
  "group=WALK" "owndir=$work/walk" "todir=$work/walkdest" "dated=0" >"$work/bin/ovpre.ini"
python3 "$bench/make_tree.py" "$work/master" 2000 20 104858      # 2,000 files, 200 MB
python3 "$bench/make_tree.py" "$work/walk/Big" 100000 100 1000   # 100,000 files
rel="Rel-2000"
src="$work/pre/$rel"
# Count and total size of the files under a folder (folder sizes differ
# between file systems, so du cannot compare trees across them).
file_bytes() { find "$1" -type f -printf '%s\n' | awk '{n++; s+=$1} END {print n, s}'; }
reply() { cat "$work/raiden/Output/site-pre.$1" | tail -n 1 | tr -d '\r'; }

# compare NAME GOAL "hyperfine options" OVPRE_PREPARE OVPRE_CMD OTHER_NAME OTHER_PREPARE OTHER_CMD
#         [TAG EXPECTED]
# ovpre exits 0 whatever it replies, so with TAG given, the last line of its
# reply after each round must be EXPECTED: a timing of refusals is no timing.
compare() {
  local name=$1 goal=$2 options=$3 prep_a=$4 cmd_a=$5 other=$6 prep_b=$7 cmd_b=$8 round
  local files=()
  for round in $(seq 1 "$rounds"); do
    local json="$out/$name-$round.json"
    local a=(--prepare "$prep_a" -n ovpre "$cmd_a") b=(--prepare "$prep_b" -n "$other" "$cmd_b")
    # Let the writeback of earlier rounds (and of the tree generation) finish
    # first, so that it is not charged to whichever command runs next.
    sync
    # shellcheck disable=SC2086
    if [ $((round % 2)) -eq 1 ]; then
      hyperfine $options --style basic --export-json "$json" "${a[@]}" "${b[@]}" >/dev/null
    else
      hyperfine $options --style basic --export-json "$json" "${b[@]}" "${a[@]}" >/dev/null
    fi
    files+=("$json")
    if [ $# -ge 10 ] && [ "$(reply "$9")" != "${10}" ]; then
      echo "$name: ovpre replied '$(reply "$9")', not '${10}'"
      exit 1
    fi
  done
  python3 "$bench/summarize.py" "$name" "$goal" "${files[@]}" | tee -a "$out/summary.md"
}

echo "== sanity: each ovpre command does the work it is timed for"
cp -al "$work/master" "$src"
"$exe" "x|SAMEFS|0|s|$work/pre|pre $rel"
[ "$(reply s)" = "$work/dest/$rel" ] && [ ! -e "$src" ] || { echo "same-fs pre failed"; exit 1; }
mv "$work/dest/$rel" "$src"
"$exe" "x|OTHERFS|0|o|$work/pre|pre $rel"
[ "$(reply o)" = "$shm/dest/$rel" ] && [ ! -e "$src" ] || { echo "cross-fs pre failed"; exit 1; }
[ "$(file_bytes "$shm/dest/$rel")" = "$(file_bytes "$work/master")" ] \
  || { echo "cross-fs copy differs"; exit 1; }
rm -rf "$shm/dest/$rel"
"$exe" "x|WALK|0|w|$work/walk|pre Big"
[ "$(reply w)" = "already exists." ] || { echo "walk pre did not stop at the move"; exit 1; }
cp -al "$work/master" "$src"

echo "== timings ($rounds alternating rounds)"
echo "| comparison | ovpre median | yardstick median | ratio | goal |" >"$out/summary.md"
echo "|---|---|---|---|---|" >>"$out/summary.md"

back="if [ -d $work/dest/$rel ]; then mv $work/dest/$rel $src; fi"
compare same-fs-pre 1.0 "--warmup 2 --runs 15" \
  "$back" "$exe 'x|SAMEFS|0|s|$work/pre|pre $rel'" \
  "du+mv" "$back" "du -sb $src && mv $src $work/dest/$rel" s "$work/dest/$rel"

fresh="rm -rf $shm/dest/$rel $src && cp -al $work/master $src"
compare cross-fs-pre 1.2 "--warmup 1 --runs 8" \
  "$fresh" "$exe 'x|OTHERFS|0|o|$work/pre|pre $rel'" \
  "cp+rm" "$fresh" "cp -a $src $shm/dest/$rel && rm -rf $src" o "$shm/dest/$rel"
rm -rf "$src" "$shm/dest/$rel"

compare size-walk-100k 1.2 "--warmup 1 --runs 8" \
  "true" "$exe 'x|WALK|0|w|$work/walk|pre Big'" \
  "du" "true" "du -sb $work/walk/Big" w "already exists."

compare ignored-request 1.5 "-N --warmup 20 --runs 300" \
  "true" "$exe 'x|G|0|t|/d|site help'" \
  "trivial" "true" "$build/trivial 'x|G|0|t|/d|site help'"

peak() {
  local most=0 kb i
  for i in $(seq 1 20); do
    kb=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1)
    [ "$kb" -gt "$most" ] && most=$kb
  done
  echo "$most"
}
ours=$(peak "$exe" "x|G|0|t|/d|site help")
theirs=$(peak "$build/trivial" "x|G|0|t|/d|site help")
verdict=MISSED
[ "$ours" -le 4096 ] && verdict=met
echo "| ignored-request peak RSS | $ours KB | trivial $theirs KB | | <= 4096 KB $verdict |" \
  | tee -a "$out/summary.md"

rm -rf "$work" "$shm"
echo "== summary (also in bench/out/summary.md)"
cat "$out/summary.md"

echo "== sfv check (bench/sfv_check.sh)"
bash "$bench/sfv_check.sh"
