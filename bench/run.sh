#!/usr/bin/env bash
# Measures ovpre against GNU coreutils doing the same work on the same tree,
# and against itself where the goal is a bound on growth. Not part of CI: it
# takes about half an hour, writes some GB and wants a quiet machine.
#
#   bench/run.sh              every comparison, 3 alternating rounds
#   OVPRE_BENCH_ROUNDS=5 bench/run.sh
#
# Builds a Release binary into build/release (preset release), writes the trees under
# $OVPRE_BENCH_DIR (default /tmp/ovpre-bench) and /dev/shm/ovpre-bench, and
# keeps the hyperfine exports and the table in bench/out/. Each comparison runs
# in rounds; every round times both commands with hyperfine, the order swapped
# from one round to the next, and the medians over all rounds are compared.
# The owner row runs as root: it gives the tree to nobody:nogroup.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
need_packages g++ cmake make hyperfine time python3 zlib1g-dev unicode-data

rounds=${OVPRE_BENCH_ROUNDS:-3}
work=${OVPRE_BENCH_DIR:-/tmp/ovpre-bench}
shm=/dev/shm/ovpre-bench
build="$OVPRE_ROOT/build/release"
out="$OVPRE_ROOT/bench/out"
bench="$OVPRE_ROOT/bench"
source "$bench/lib.sh"
[ "$(id -u)" -eq 0 ] || { echo "run as root: the owner row changes owners"; exit 1; }

echo "== build (Release)"
build_preset release >/dev/null
c++ -std=c++17 -O3 -DNDEBUG "$bench/trivial.cpp" -o "$build/trivial"

rm -rf "$work" "$shm"
mkdir -p "$work/bin" "$work/raiden/Output" "$work/pre" "$work/dest" "$shm/dest" "$out"
echo "== machine"
machine | tee "$out/machine.txt"
cp "$build/src/ovpre" "$work/bin/ovpre"
exe="$work/bin/ovpre"
# pre GROUP TAG RELEASE: the command line of a "site pre" from $work/pre.
pre() { echo "$exe 'x|$1|0|$2|$work/pre|pre $3'"; }
# Only OWNER gives an owner and permissions: the other yardsticks change none.
printf '%s\r\n' "sitename=Bench" "raidendir=$work/raiden" "announcefile=$work/announce.dat" \
  "group=SAMEFS" "owndir=$work/pre" "todir=$work/dest" "dated=0" \
  "group=OTHERFS" "owndir=$work/pre" "todir=$shm/dest" "dated=0" \
  "group=OWNER" "owndir=$work/pre" "todir=$work/dest" "dated=0" \
  "newowner=nobody:nogroup" "newperms=644" \
  "group=SFV" "owndir=$work/pre" "todir=$work/dest" "dated=0" "sfvcheck=1" \
  >"$work/bin/ovpre.ini"

echo "| case | goal | ovpre median | yardstick median | measured | verdict |" >"$out/summary.md"
echo "|---|---|---|---|---|---|" >>"$out/summary.md"

# A same-drive pre is a rename: it must neither sum the release first nor
# grow with its size.
same_drive_rows() {
  local rel=Rel-2000 src="$work/pre/Rel-2000"
  python3 "$bench/make_tree.py" "$work/master" 2000 20 104858     # 2,000 files, 200 MB
  python3 "$bench/make_tree.py" "$work/pre/Rel-100" 100 1 1000
  python3 "$bench/make_tree.py" "$work/pre/Rel-100k" 100000 100 1000
  cp -al "$work/master" "$src"
  eval "$(pre SAMEFS s $rel)"
  expect_reply same-drive s "$work/dest/$rel"
  [ ! -e "$src" ] || { echo "same-drive pre left the source"; exit 1; }
  mv "$work/dest/$rel" "$src"

  local back="if [ -d $work/dest/$rel ]; then mv $work/dest/$rel $src; fi"
  compare same-drive-2000 0.2 "--warmup 2 --runs 15" \
    "$back" "$(pre SAMEFS s $rel)" \
    "du+mv" "$back" "du -sb $src && mv $src $work/dest/$rel" s "$work/dest/$rel"
  eval "$back"

  local big="if [ -d $work/dest/Rel-100k ]; then mv $work/dest/Rel-100k $work/pre/; fi"
  local small="if [ -d $work/dest/Rel-100 ]; then mv $work/dest/Rel-100 $work/pre/; fi"
  compare same-drive-100k-vs-100 1.5 "--warmup 2 --runs 15" \
    "$big" "$(pre SAMEFS k Rel-100k)" \
    "ovpre-100" "$small" "$(pre SAMEFS h Rel-100)" k "$work/dest/Rel-100k"
  expect_reply same-drive-100k-vs-100 h "$work/dest/Rel-100"
  mv "$work/dest/Rel-100k" "$work/dest/Rel-100" "$work/pre/"
  rm -rf "$work/pre/Rel-100k" "$work/pre/Rel-100"
}

# The dupe check on a site of 10 sections, 9 of them dated, with the dated
# folders of the last 30 days in place and 20 releases in each: 272 folders
# to look into. Both groups have the same sections; only DUPE has dupedays.
dupe_row() {
  local site="$work/site" rel=Rel-2000 src="$work/pre/Rel-2000" today day i s n
  local dated=(3 1 2 3 1 2 3 0 1 2) lines=()
  mkdir -p "$site/bin" "$site/dest"
  cp "$exe" "$site/bin/ovpre"
  for i in $(seq 1 10); do
    s=$(printf 'S%02d' "$i")
    lines+=("section=$s*$site/$s*${dated[i - 1]}")
    for day in $(seq 0 29); do
      case ${dated[i - 1]} in
        0) [ "$day" -eq 0 ] || continue; n="$site/$s" ;;
        1) n="$site/$s/$(date -d "-$day day" +%m%d)" ;;
        2) n="$site/$s/$(date -d "-$day day" +%m-%d)" ;;
        3) n="$site/$s/$(date -d "-$day day" +%F)" ;;
      esac
      mkdir -p "$n"
      (cd "$n" && mkdir Other.Release.{01..20}-GRP)
    done
  done
  printf '%s\r\n' "sitename=Bench" "raidendir=$work/raiden" "announcefile=$site/announce.dat" \
    "group=DUPE" "owndir=$work/pre" "todir=$site/dest" "dated=0" "dupedays=30" "${lines[@]}" \
    "group=NODUPE" "owndir=$work/pre" "todir=$site/dest" "dated=0" "${lines[@]}" \
    >"$site/bin/ovpre.ini"
  today="$site/S01/$(date +%F)/$rel"
  local with="$site/bin/ovpre 'x|DUPE|0|d|$work/pre|pre $rel s01'"
  local without="$site/bin/ovpre 'x|NODUPE|0|n|$work/pre|pre $rel s01'"
  local back="if [ -d $today ]; then mv $today $src; fi"
  local old
  old="$site/S04/$(date -d '-29 day' +%F)/REL-2000"
  eval "$with"
  expect_reply dupe d "$today"
  mv "$today" "$src"
  mkdir "$old"
  eval "$with"
  expect_reply dupe d "$old"
  [ -d "$src" ] || { echo "dupe: a refused pre moved the release"; exit 1; }
  rmdir "$old"
  compare dupedays-30-10-sections 1.1 "--warmup 2 --runs 15" \
    "$back" "$with" "without" "$back" "$without" d "$today"
  expect_reply dupedays-30-10-sections n "$today"
  mv "$today" "$src"
}

# The sfv check reads a file once, however many lines name it.
sfv_row() {
  python3 "$bench/make_tree.py" --sfv "$work/pre/Rel-Sfv20k" 20000 4194304
  mkdir "$work/pre/Rel-Sfv1"
  cp "$work/pre/Rel-Sfv20k/f.rar" "$work/pre/Rel-Sfv1/"
  head -n 1 "$work/pre/Rel-Sfv20k/f.sfv" >"$work/pre/Rel-Sfv1/f.sfv"
  local r backs=()
  for r in Rel-Sfv20k Rel-Sfv1; do
    backs+=("if [ -d $work/dest/$r ]; then mv $work/dest/$r $work/pre/; fi")
  done
  compare sfv-20000-lines +0.1 "--warmup 2 --runs 15" \
    "${backs[0]}" "$(pre SFV v Rel-Sfv20k)" \
    "sfv-1-line" "${backs[1]}" "$(pre SFV w Rel-Sfv1)" v "$work/dest/Rel-Sfv20k"
  expect_reply sfv-20000-lines w "$work/dest/Rel-Sfv1"
  rm -rf "$work/dest/Rel-Sfv20k" "$work/dest/Rel-Sfv1"
}

# The staged copy across file systems, /tmp to /dev/shm. Between runs the
# copy is deleted and a fresh source linked from the master tree, so both
# commands read the same page-cached data.
cross_drive_row() {  # NAME GOAL OPTIONS MASTER TAG
  local rel=Rel-X src="$work/pre/Rel-X" master=$4 tag=$5
  local fresh="rm -rf $shm/dest/$rel $src && cp -al $master $src"
  eval "$fresh"
  eval "$(pre OTHERFS "$tag" $rel)"
  expect_reply "$1" "$tag" "$shm/dest/$rel"
  [ ! -e "$src" ] || { echo "$1: the source is left"; exit 1; }
  [ "$(file_bytes "$shm/dest/$rel")" = "$(file_bytes "$master")" ] \
    || { echo "$1: the copy differs"; exit 1; }
  compare "$1" "$2" "$3" \
    "$fresh" "$(pre OTHERFS "$tag" $rel)" \
    "cp+rm" "$fresh" "cp -a $src $shm/dest/$rel && rm -rf $src" "$tag" "$shm/dest/$rel"
  rm -rf "$src" "$shm/dest/$rel"
}

ignored_request_rows() {
  compare ignored-request 1.5 "-N --warmup 20 --runs 300" \
    "true" "$exe 'x|G|0|t|/d|site help'" \
    "trivial" "true" "$build/trivial 'x|G|0|t|/d|site help'"
  local ours theirs verdict=MISSED
  ours=$(peak_kb "$exe" "x|G|0|t|/d|site help")
  theirs=$(peak_kb "$build/trivial" "x|G|0|t|/d|site help")
  [ "$ours" -le 4096 ] && verdict=met
  echo "| ignored-request peak RSS | <= 4096 KB | $ours KB | trivial $theirs KB | **$ours KB** | $verdict |" \
    | tee -a "$out/summary.md"
}

# Memory by depth: 256 nested folders of 250-byte names (a path of about
# 64 KB), the deepest a copy takes, pre'd across file systems so that the
# snapshot, the copy and its check walk the whole depth. The largest of 3
# runs, each on a fresh tree.
deep_row() {
  local rel=Rel-Deep src="$work/pre/Rel-Deep" most=0 kb i verdict=MISSED
  for i in 1 2 3; do
    rm -rf "$src" "$shm/dest/$rel"
    python3 "$bench/make_tree.py" --deep "$src" 256 250
    kb=$(/usr/bin/time -f %M "$work/bin/ovpre" "x|OTHERFS|0|m|$work/pre|pre $rel" 2>&1 | tail -n 1)
    expect_reply deep-256 m "$shm/dest/$rel"
    [ ! -e "$src" ] && [ "$(find "$shm/dest/$rel" -type d | wc -l)" -eq 257 ] \
      && [ "$(find "$shm/dest/$rel" -name bottom.nfo | wc -l)" -eq 1 ] \
      || { echo "deep-256: the copy is not the whole tree"; exit 1; }
    [ "$kb" -gt "$most" ] && most=$kb
  done
  rm -rf "$shm/dest/$rel"
  [ "$most" -le 65536 ] && verdict=met
  echo "| deep-256 peak RSS (cross-drive) | <= 65536 KB | $most KB | | **$most KB** | $verdict |" \
    | tee -a "$out/summary.md"
}

# 200,000 entries: the staged copy of small files, then owner and mode on
# the same drive. chmod gets u=rwX,go=rX, which gives files 644 and folders
# 755 as newperms=644 does. Before each run the tree goes back to root:root
# and go= (600 and 700), so that both commands change every entry.
big_rows() {
  local master="$work/master200k" rel=Rel-200k src="$work/pre/Rel-200k"
  python3 "$bench/make_tree.py" "$master" 200000 200 1000   # 200,000 files, 200 folders
  cross_drive_row cross-drive-200k-files 1.0 "--runs 3" "$master" b

  mv "$master" "$src"   # the master's inodes are changed from here on
  local reset="chown -R root:root $src && chmod -R go= $src"
  local back="if [ -d $work/dest/$rel ]; then mv $work/dest/$rel $src; fi; $reset"
  eval "$reset"
  eval "$(pre OWNER c $rel)"
  expect_reply owner-200k c "$work/dest/$rel"
  [ "$(find "$work/dest/$rel" \( ! -user nobody -o ! -group nogroup \
       -o -type f ! -perm 644 -o -type d ! -perm 755 \) | wc -l)" -eq 0 ] \
    || { echo "owner-200k: owner or mode not given to every entry"; exit 1; }
  compare owner-200k-entries 1.2 "--runs 3" \
    "$back" "$(pre OWNER c $rel)" \
    "mv+chown+chmod" "$back" \
    "mv $src $work/dest/$rel && chown -R nobody:nogroup $work/dest/$rel && chmod -R u=rwX,go=rX $work/dest/$rel" \
    c "$work/dest/$rel"
  rm -rf "$work/dest/$rel" "$src"
}

# An append to the announce log looks at the file's last bytes only: a
# 1 GB log (sparse) costs a pre no more than an empty one. Two program
# folders, one setting each; the release goes back between runs.
announce_log_row() {
  local rel=Rel-Alog src="$work/pre/Rel-Alog" kind
  python3 "$bench/make_tree.py" "$src" 10 1 1000
  for kind in big empty; do
    mkdir -p "$work/alog-$kind"
    cp "$exe" "$work/alog-$kind/ovpre"
    printf '%s\r\n' "sitename=Bench" "raidendir=$work/raiden" \
      "announcefile=$work/alog-$kind/announce.dat" "announcelog=$work/alog-$kind/a.log" \
      "group=SAMEFS" "owndir=$work/pre" "todir=$work/dest" "dated=0" \
      >"$work/alog-$kind/ovpre.ini"
  done
  # Made once: cut back before each run, the truncation's own writeback
  # would be charged to the pre. A run adds about 100 bytes to either.
  truncate -s 1G "$work/alog-big/a.log"
  : >"$work/alog-empty/a.log"
  local back="if [ -d $work/dest/$rel ]; then mv $work/dest/$rel $src; fi"
  compare announce-log-1gb-vs-empty 1.1 "--warmup 2 --runs 15" \
    "$back" "$work/alog-big/ovpre 'x|SAMEFS|0|a|$work/pre|pre $rel'" \
    "empty-log" "$back" \
    "$work/alog-empty/ovpre 'x|SAMEFS|0|a|$work/pre|pre $rel'" a "$work/dest/$rel"
  rm -rf "$work/dest/$rel" "$src" "$work"/alog-*
}

cross_drive_2000() {
  cross_drive_row cross-drive-2000 0.8 "--warmup 1 --runs 8" "$work/master" o
}

# OVPRE_BENCH_ROWS picks some of them, for example "same_drive_rows dupe_row".
echo "== timings ($rounds alternating rounds)"
for row in ${OVPRE_BENCH_ROWS:-same_drive_rows dupe_row sfv_row cross_drive_2000 \
    announce_log_row ignored_request_rows deep_row big_rows}; do
  "$row"
done

rm -rf "$work" "$shm"
echo "== summary (also in bench/out/summary.md)"
cat "$out/machine.txt" "$out/summary.md"

[ -z "${OVPRE_BENCH_ROWS:-}" ] || exit 0
echo "== sfv check (bench/sfv_check.sh)"
bash "$bench/sfv_check.sh"
