#!/usr/bin/env bash
# Times the .sfv completeness check of "site pre" (sfvcheck=1) on a 700 MB
# release of 50 files against cksfv checking the same .sfv files and cat
# reading the same files, all three in one hyperfine run. bench/run.sh runs
# it last; it also runs alone:
#
#   bench/sfv_check.sh
#
# The release lies under $OVPRE_BENCH_DIR/sfv (default /tmp/ovpre-bench) and
# is read from the page cache (hyperfine warms it up). The pre is made to
# stop at the move: a folder of the release's name already waits in the
# target, so the run times the check (and the size walk) and moves nothing.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
need_packages g++ cmake make hyperfine python3 cksfv zlib1g-dev unicode-data

work=${OVPRE_BENCH_DIR:-/tmp/ovpre-bench}/sfv
build="$OVPRE_ROOT/build/release"
out="$OVPRE_ROOT/bench/out"
bench="$OVPRE_ROOT/bench"
rel="$work/pre/Rel-Sfv"

echo "== build (Release)"
build_preset release >/dev/null

echo "== release: 50 files of 14 MiB in two folders, one .sfv file each"
rm -rf "$work"
mkdir -p "$work/bin" "$work/raiden/Output" "$work/pre" "$work/dest/Rel-Sfv" "$out"
cp "$build/src/ovpre" "$work/bin/ovpre"
printf '%s\r\n' "sitename=Bench" "raidendir=$work/raiden" "announcefile=$work/announce.dat" \
  "group=SFV" "owndir=$work/pre" "todir=$work/dest" "dated=0" "sfvcheck=1" \
  >"$work/bin/ovpre.ini"
python3 "$bench/make_tree.py" "$rel" 50 2 14680064
for cd in CD01 CD02; do (cd "$rel/$cd" && cksfv -b -- *.rar >"$cd.sfv"); done
bytes=$(find "$rel" -name '*.rar' -printf '%s\n' | awk '{s+=$1} END {print s}')

pre="$work/bin/ovpre 'x|SFV|0|s|$work/pre|pre Rel-Sfv'"
reply() { tail -n 1 "$work/raiden/Output/site-pre.s" | tr -d '\r'; }
echo "== sanity: the check passes and the pre stops at the move; a damaged file is found"
eval "$pre"
[ "$(reply)" = "already exists." ] || { echo "ovpre replied '$(reply)'"; exit 1; }
cp "$rel/CD02/f000049.rar" "$work/keep"
printf 'x' | dd of="$rel/CD02/f000049.rar" bs=1 seek=1000 conv=notrunc status=none
eval "$pre"
[ "$(reply)" = "0 missing, 1 bad of 50 files." ] || { echo "ovpre replied '$(reply)'"; exit 1; }
mv "$work/keep" "$rel/CD02/f000049.rar"

echo "== timings"
sync
json="$out/sfv-check.json"
hyperfine --style basic --warmup 2 --runs 10 --export-json "$json" \
  -n ovpre "$pre" \
  -n "cksfv -q -f" "cd $rel/CD01 && cksfv -q -f CD01.sfv && cd $rel/CD02 && cksfv -q -f CD02.sfv" \
  -n "cat" "cat $rel/CD01/*.rar $rel/CD02/*.rar >/dev/null" >/dev/null
[ "$(reply)" = "already exists." ] || { echo "ovpre replied '$(reply)'"; exit 1; }
python3 - "$json" "$bytes" <<'PY' | tee "$out/sfv-check.md"
import json, statistics, sys
results = {r["command"]: statistics.median(r["times"]) for r in json.load(open(sys.argv[1]))["results"]}
mb = int(sys.argv[2]) / 1e6
ours = results["ovpre"]
print("| command | median | MB/s |")
print("|---|---|---|")
for name, seconds in results.items():
    print("| %s | %.0f ms | %.0f |" % (name, seconds * 1e3, mb / seconds))
for name, goal in (("cksfv -q -f", 0.8), ("cat", 1.5)):
    ratio = ours / results[name]
    print("ovpre / %s: **%.2f** (goal <= %.1f, %s)" % (name, ratio, goal, "met" if ratio <= goal else "MISSED"))
PY
rm -rf "$work"
