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
need_packages g++ cmake make hyperfine time python3 zlib1g-dev unicode-data sqlite3

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
  release_2000
  python3 "$bench/make_tree.py" "$work/pre/Rel-100" 100 1 1000
  python3 "$bench/make_tree.py" "$work/pre/Rel-100k" 100000 100 1000
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

# The 2,000-file / 200 MB release in $work/pre, linked from the master tree.
release_2000() {
  [ -d "$work/master" ] || python3 "$bench/make_tree.py" "$work/master" 2000 20 104858
  [ -d "$work/pre/Rel-2000" ] || cp -al "$work/master" "$work/pre/Rel-2000"
}

# The dupe site: 10 sections, 9 of them dated, with the dated folders of the
# last 30 days in place and 20 releases in each: 272 folders to look into.
# Its program has two groups with the same sections; only DUPE has
# dupedays. Made once for the rows that use it.
site="$work/site"
dupe_site() {
  [ -f "$site/bin/ovpre.ini" ] && return
  local dated=(3 1 2 3 1 2 3 0 1 2) day i s n
  sections=()
  mkdir -p "$site/bin" "$site/dest"
  cp "$exe" "$site/bin/ovpre"
  for i in $(seq 1 10); do
    s=$(printf 'S%02d' "$i")
    sections+=("section=$s*$site/$s*${dated[i - 1]}")
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
    "group=DUPE" "owndir=$work/pre" "todir=$site/dest" "dated=0" "dupedays=30" "${sections[@]}" \
    "group=NODUPE" "owndir=$work/pre" "todir=$site/dest" "dated=0" "${sections[@]}" \
    >"$site/bin/ovpre.ini"
}

# The dupe check by folders on the dupe site.
dupe_row() {
  local rel=Rel-2000 src="$work/pre/Rel-2000" today
  release_2000
  dupe_site
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

# A program of its own beside a pre record of ROWS pres (in $work/rec-ROWS,
# the record in its private folder db/), for the dupe site's sections and a
# group DUPE with dupedays=30. The program makes the record with a first
# pre, so that the schema, its triggers and the trigram index are its own;
# bench/make_pres.py then fills it in one transaction and sets its
# creation a year back, so that the dupe check trusts it alone.
record_site() {
  local rows=$1 home="$work/rec-$1" rel=Rel-2000 src="$work/pre/Rel-2000" today
  [ -f "$home/db/pre.db" ] && return
  release_2000
  dupe_site
  mkdir -p "$home"
  mkdir -m 700 "$home/db"
  cp "$exe" "$home/ovpre"
  printf '%s\r\n' "sitename=Bench" "raidendir=$work/raiden" "announcefile=$home/announce.dat" \
    "predb=$home/db/pre.db" \
    "group=DUPE" "owndir=$work/pre" "todir=$site/dest" "dated=0" "dupedays=30" "${sections[@]}" \
    >"$home/ovpre.ini"
  today="$site/S01/$(date +%F)/$rel"
  "$home/ovpre" "x|DUPE|0|r|$work/pre|pre $rel s01"
  expect_reply "record-$rows" r "$today"
  mv "$today" "$src"
  python3 "$bench/make_pres.py" "$rows" "$site" | sqlite3 "$home/db/pre.db"
  [ "$(sqlite3 "$home/db/pre.db" "SELECT count(*) FROM pres WHERE folder_id IS NOT NULL")" \
    -eq "$rows" ] || { echo "record-$rows: the record was not filled"; exit 1; }
}

# The dupe check from the record: a pre with predb, dupedays=30 and the 10
# sections, 100,000 pres recorded, against the same pre with neither (the
# dupe site's NODUPE group, no record). Between runs the release goes back
# and the row of the pre is deleted, else the next pre would be a dupe.
predb_row() {
  local rel=Rel-2000 src="$work/pre/Rel-2000" home="$work/rec-100000" today db
  record_site 100000
  db="$home/db/pre.db"
  today="$site/S01/$(date +%F)/$rel"
  local with="$home/ovpre 'x|DUPE|0|p|$work/pre|pre $rel s01'"
  local without="$site/bin/ovpre 'x|NODUPE|0|n|$work/pre|pre $rel s01'"
  local back="if [ -d $today ]; then mv $today $src; fi"
  # The shell leaves the log as the program does: closing it with a
  # checkpoint would give every timed pre a new log to make and flush.
  local unrecord="sqlite3 $db '.dbconfig no_ckpt_on_close on' \"DELETE FROM pres WHERE release = '$rel'\" >/dev/null"
  eval "$with"
  expect_reply predb p "$today"
  # A rename makes no walk, so the row has no counts.
  [ "$(sqlite3 "$db" "SELECT path FROM pres WHERE release = '$rel' AND folder_id IS NOT NULL
       AND pre_time > strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-1 minute')")" = "$today" ] \
    || { echo "predb: the pre's row is not right"; exit 1; }
  # With the row in place the same name is a dupe, and nothing moves.
  mv "$today" "$src"
  eval "$with"
  tr -d '\r' <"$work/raiden/Output/site-pre.p" | grep -qxF "Dupe: $rel was already pre'd to:" \
    && [ -d "$src" ] \
    || { echo "predb: the recorded pre was not found as a dupe"; exit 1; }
  eval "$unrecord"
  compare predb-dupedays-30-100k-rows 1.25 "--warmup 2 --runs 15" \
    "$back; $unrecord" "$with" "neither" "$back" "$without" p "$today"
  expect_reply predb-dupedays-30-100k-rows n "$today"
  mv "$today" "$src"
  eval "$unrecord"
}

# site dupe with two 4-character words, "dark" as common as any title
# word, "tide" in three names only: over 100,000 pres against a pre refused
# before the record is opened ("Unable to find"), and over 100,000 against
# 1,000, which should cost the same.
site_dupe_row() {
  local big="$work/rec-100000/ovpre" small="$work/rec-1000/ovpre" found
  record_site 100000
  record_site 1000
  local words="dupe dark tide" refused="pre No.Such.Release-GRP" home
  # Both records with an empty log, as after a checkpoint: the pres of
  # predb_row left up to 100 pages in the big one's, which every run would
  # read back, and the two sizes would not be compared alone.
  for home in "$work/rec-100000" "$work/rec-1000"; do
    sqlite3 "$home/db/pre.db" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
  done
  "$big" "x|DUPE|0|u|$work/pre|$refused"
  expect_reply site-dupe u "Unable to find: No.Such.Release-GRP"
  "$small" "x|DUPE|0|k|$work/pre|$words"
  "$big" "x|DUPE|0|q|$work/pre|$words"
  for found in q k; do
    found="$work/raiden/Output/site-dupe.$found"
    [ "$(grep -c '^20[0-9-]* [0-9:]* ' "$found")" -eq 3 ] \
      && [ "$(grep -c '^20[0-9-]* [0-9:]* Dark\.Tide\.S01E0[1-3]\.' "$found")" -eq 3 ] \
      || { echo "site-dupe: 'site $words' did not find the three Dark.Tide pres"; exit 1; }
  done
  found=$(reply dupe.q)
  compare site-dupe-100k-rows 1.5 "-N --warmup 10 --runs 60" \
    "true" "$big 'x|DUPE|0|q|$work/pre|$words'" \
    "refused-pre" "true" "$big 'x|DUPE|0|u|$work/pre|$refused'" dupe.q "$found"
  compare site-dupe-100k-vs-1k-rows 1.25 "-N --warmup 10 --runs 60" \
    "true" "$big 'x|DUPE|0|q|$work/pre|$words'" \
    "1k-rows" "true" "$small 'x|DUPE|0|k|$work/pre|$words'" dupe.q "$found"
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
  release_2000
  cross_drive_row cross-drive-2000 0.8 "--warmup 1 --runs 8" "$work/master" o
}

# OVPRE_BENCH_ROWS picks some of them, for example "same_drive_rows dupe_row".
echo "== timings ($rounds alternating rounds)"
for row in ${OVPRE_BENCH_ROWS:-same_drive_rows dupe_row predb_row site_dupe_row sfv_row \
    cross_drive_2000 announce_log_row ignored_request_rows deep_row big_rows}; do
  "$row"
done

rm -rf "$work" "$shm"
echo "== summary (also in bench/out/summary.md)"
cat "$out/machine.txt" "$out/summary.md"

[ -z "${OVPRE_BENCH_ROWS:-}" ] || exit 0
echo "== sfv check (bench/sfv_check.sh)"
bash "$bench/sfv_check.sh"
