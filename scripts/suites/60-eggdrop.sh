#!/usr/bin/env bash
# The announcement's road to IRC, with real programs on loopback: ngircd as the
# IRC server, eggdrop running contrib/eggdrop/ovpre-announce.tcl, a small
# client in the channel, and real "site pre" runs of the POSIX build. The client
# must receive each announcement byte for byte, once: first from the announce
# file, then, after a rehash, from the announce log, whatever is done to the
# log between pres (deleted, emptied, trimmed, rotated, an overlong line, the
# bot stopped meanwhile).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"

# The program of the native build (its tests are the 10-native suite's).
build="$OVPRE_ROOT/build/native"
build_preset native --target ovpre

channel="#ovpre"
botnick="OvBot"
work=$(mktemp -d -t ovpre-eggdrop.XXXXXX)
chmod 755 "$work"
pids=()

cleanup() {
  local status=$? pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ $status -ne 0 ]; then
    for log in ngircd eggdrop client; do
      [ -f "$work/$log.log" ] || continue
      echo "--- $log.log (last lines)"
      tail -n 40 "$work/$log.log"
    done
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "FAIL: $*"
  exit 1
}

# waits SECONDS COMMAND...: retries COMMAND every 0.2 s until it succeeds.
waits() {
  local tries=$(($1 * 5))
  shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || return 1
    sleep 0.2
  done
}

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# --- the IRC server. Started as root it drops to "nobody" by itself.
cat >"$work/ngircd.conf" <<EOF
[Global]
Name = irc.ovpre.test
Info = ovpre test server
AdminInfo1 = ovpre test
AdminInfo2 = loopback only
AdminEMail = nobody@localhost
Listen = 127.0.0.1
Ports = $port
MotdPhrase = ovpre test server
[Options]
PAM = no
Ident = no
DNS = no
EOF
ngircd -n -f "$work/ngircd.conf" </dev/null >"$work/ngircd.log" 2>&1 &
pids+=($!)
listening() { python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" 2>/dev/null; }
waits 10 listening || fail "ngircd does not listen on 127.0.0.1:$port"

# --- the site: ovpre in its own folder, its settings pointing at the watched file.
site="$work/site"
mkdir -p "$site/raiden/Output" "$site/own" "$site/to"
chmod 755 "$site"
announce="$site/announce.txt"
beside="$site/announce.new"
log="$site/announce.log"
# install_ovpre FOLDER ANNOUNCEFILE: ovpre and its settings in $site/FOLDER.
install_ovpre() {
  mkdir "$site/$1"
  cp "$build/src/ovpre" "$site/$1/ovpre"
  printf '%s\r\n' "sitename=Ov Site" "raidendir=$site/raiden" "announcefile=$2" \
    "group=GRP" "owndir=$site/own" "todir=$site/to" "dated=0" "newowner=user:group" \
    "newperms=666" "announcelog=$log" >"$site/$1/ovpre.ini"
}
install_ovpre bin "$announce"
install_ovpre bin-beside "$beside"
install_ovpre bin-unwatched "$site/unwatched.txt"

# pre RELEASE: a real "site pre" of RELEASE; pre_beside: the same with the
# announce file "beside".
run_pre() {
  mkdir "$site/own/$2"
  "$site/$1/ovpre" "x|GRP|0|17|$site/own|pre $2"
  [ -d "$site/to/$2" ] || fail "ovpre did not move $2: $(cat "$site/raiden/Output/site-pre.17")"
}
pre() { run_pre bin "$1"; }
pre_beside() { run_pre bin-beside "$1"; }
pre_unwatched() { run_pre bin-unwatched "$1"; }
# An announcement from before the bot starts.
pre "Old.Release-GRP"

# --- the bot. Eggdrop will not run as root; then it runs as "nobody".
bot="$work/bot"
mkdir "$bot"
cp "$OVPRE_ROOT/contrib/eggdrop/ovpre-announce.tcl" "$bot/"
cat >"$bot/bot.conf" <<EOF
set username "ovbot"
set admin "ovpre test"
set network "ovpre-test"
set nick "$botnick"
set altnick "OvBot2"
set realname "ovpre announce test"
set prefer-ipv6 0
set vhost4 "127.0.0.1"
set userfile "$bot/bot.user"
set chanfile "$bot/bot.chan"
set pidfile "$bot/bot.pid"
set mod-path "/usr/lib/eggdrop/modules/"
set help-path "/usr/share/eggdrop/help/"
logfile mcobxs * "$bot/bot.log"
loadmodule blowfish
loadmodule channels
loadmodule server
loadmodule irc
set servers { 127.0.0.1:$port }
set msg-rate 1
channel add $channel
set ovpre(file) "$announce"
set ovpre(channels) "$channel"
source "$bot/ovpre-announce.tcl"
# For the test: a mark once the bot counts itself on the channel (some seconds
# after its JOIN, when it has the channel's modes and users).
proc mark_on_channel {} {
  if {[botonchan "$channel"]} { close [open "$bot/on-channel" w] } else { utimer 1 mark_on_channel }
}
utimer 1 mark_on_channel
EOF
run_as_bot=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody "$bot"
  run_as_bot=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi
# -n: stay in the foreground; -m: start without a userfile and create one.
start_bot() {
  (cd "$bot" && exec "${run_as_bot[@]}" eggdrop -n -m bot.conf) </dev/null >>"$work/eggdrop.log" 2>&1 &
  pids+=($!)
  eggdrop_pid=$!
}
start_bot

# --- the client that listens in the channel.
received="$work/received"
: >"$received"
python3 "$OVPRE_ROOT/contrib/eggdrop/test/irc_client.py" --port "$port" --nick tester \
  --channel "$channel" --from-nick "$botnick" --ready-file "$work/ready" \
  --out-file "$received" --lifetime 400 </dev/null >"$work/client.log" 2>&1 &
pids+=($!)
waits 40 test -e "$work/ready" || fail "the bot and the client did not meet in $channel"
waits 20 test -e "$bot/on-channel" || fail "the bot does not count itself on $channel"

expected="$work/expected"
: >"$expected"
# expect RELEASE: adds the announcement of RELEASE to what the client must hold.
expect() {
  printf '>> \002Ov Site\002 << Pre: \002%s \002from\002 GRP\n>> Grab it from %s\n' \
    "$1" "$site/to/$1" >>"$expected"
}
same() { cmp -s "$expected" "$received"; }
check() {
  if ! waits "$1" same; then
    echo "expected:"; od -c "$expected" | tail -n 12
    echo "received:"; od -c "$received" | tail -n 12
    fail "$2"
  fi
}

# The announcement that was in the file before the bot started is not posted
# (the bot gets a few looks at it first).
sleep 2.5
pre "First.Release-GRP"
expect "First.Release-GRP"
check 10 "the first announcement did not arrive byte for byte"
echo "ok: an announcement arrives byte for byte; the one from before the bot started does not"

# Two pres in a row (the bot looks once a second): each announced once.
pre "Second.Release-GRP"
sleep 2.5
pre "Third.Release-GRP"
expect "Second.Release-GRP"
expect "Third.Release-GRP"
check 10 "two pres in a row were not announced once each"
echo "ok: two pres in a row, each announced once"

# A pre in the same second as the one before, with an announcement of the same
# size: the bot must not take it for the old one. The second ovpre writes its
# announcement beside the watched file, which then gets the old time stamp and
# is renamed over it, as a replacement within one second looks.
cp -p "$announce" "$work/previous"
pre_beside "Again.Release-GRP"
expect "Again.Release-GRP"
[ "$(stat -c %s "$beside")" = "$(stat -c %s "$work/previous")" ] || fail "sizes differ"
touch -r "$work/previous" "$beside"
mv "$beside" "$announce"
check 10 "an announcement with the old time stamp and size was not posted"
echo "ok: a replacement with the same time stamp and size is announced"

# A file caught while it is written (truncated, then filled, as a plain
# rewrite does) is posted once, whole; an empty or missing file is no news.
line1=$'>> \002Ov Site\002 << Pre: \002Slow.Release-GRP \002from\002 GRP'
line2=">> Grab it from $site/to/Slow.Release-GRP"
for stage in "" "$line1" "$line1"$'\r\n' "$line1"$'\r\n'"${line2:0:20}" \
  "$line1"$'\r\n'"$line2"$'\r\n'; do
  printf '%s' "$stage" >"$announce"
  sleep 1.5
done
printf '%s\n%s\n' "$line1" "$line2" >>"$expected"
check 5 "a file caught while written was not posted once, whole"
rm "$announce"
sleep 2
pre "Last.Release-GRP"
expect "Last.Release-GRP"
check 10 "after a missing file the next announcement did not arrive"
echo "ok: empty, half-written and missing files are handled"

# A release name in UTF-8 arrives unchanged.
pre "Café.Größe-GRP"
expect "Café.Größe-GRP"
check 10 "a UTF-8 release name did not arrive byte for byte"
echo "ok: a UTF-8 release name arrives byte for byte"

# The announce log, switched on by a rehash: read on from the offset the state
# file holds (as earlier versions of the script kept it: the offset alone), so
# a pre that the announce file never showed is posted.
stat -c %s "$log" >"$bot/ovpre-announce.offset"
pre_unwatched "Missed.Release-GRP"
expect "Missed.Release-GRP"
sed -i "/^source /i set ovpre(log) \"$log\"" "$bot/bot.conf"
kill -HUP "$eggdrop_pid"
check 15 "the log was not read on from the offset kept in the state file"
echo "ok: after a rehash the log is read on from the offset kept in the state file"

# Three pres within a second: all three posted, in order.
for release in "Eins.Release-GRP" "Zwei.Release-GRP" "Drei.Größe-GRP"; do
  pre_unwatched "$release"
  expect "$release"
done
check 15 "three pres within a second were not all posted in order"
echo "ok: three pres within a second, all posted in order"

# A line caught half written waits until it is whole.
printf '%s' "${line1:0:20}" >>"$log"
sleep 1.5
printf '%s\r\n' "${line1:20}" >>"$log"
printf '%s\n' "$line1" >>"$expected"
check 5 "a line caught half written was not posted once, whole"
echo "ok: a line caught half written is posted once, whole"

# The log handled between pres, each way once; the bot has a look at it so
# handled, then the next two pres are posted once, whole, in order, and
# nothing posted before comes again. "deleted" comes after "emptied": the new log then grows
# to the old one's size, which only its content tells apart.
emptied() { : >"$log"; }
deleted() { rm "$log"; }
trimmed() { tail -n 3 "$log" >"$work/tail" && cat "$work/tail" >"$log"; }
cut_to_last_line_by_rename() { tail -n 1 "$log" >"$work/tail" && mv "$work/tail" "$log"; }
rotated() { mv "$log" "$log.1"; }
overlong() { head -c 70000 /dev/zero | tr '\0' x >>"$log"; }
for change in emptied deleted trimmed cut_to_last_line_by_rename overlong rotated; do
  $change
  sleep 1.5
  for n in 1 2; do
    pre_unwatched "${change//_/.}.$n-GRP"
    expect "${change//_/.}.$n-GRP"
  done
  check 15 "after the log was $change, the next pres were not posted once, whole, in order"
  echo "ok: log $change, the next pres posted once, whole, in order"
done
grep -q "skipped a line of more than 4096 bytes" "$work/eggdrop.log" \
  || fail "the bot did not log the overlong line it skipped"

# Emptied while the bot was stopped, three pres meanwhile: all three posted
# when it is back. The log held two pres of the same length before, so the
# three make it longer than where the bot stopped.
kill "$eggdrop_pid"
wait "$eggdrop_pid" 2>/dev/null || true
rm -f "$bot/on-channel" "$bot/bot.pid"
: >"$log"
for n in 1 2 3; do
  pre_unwatched "stopped.$n-GRP"
  expect "stopped.$n-GRP"
done
start_bot
waits 30 test -e "$bot/on-channel" || fail "the restarted bot does not count itself on $channel"
check 20 "of three pres in a log emptied while the bot was stopped, not all were posted in order"
[ "$(sed -n 's/^offset //p' "$bot/ovpre-announce.offset")" = "$(stat -c %s "$log")" ] \
  || fail "the state file does not hold the offset of the log's end"
echo "ok: a log emptied while the bot was stopped, the pres meanwhile all posted; the offset is kept"

sleep 3
check 0 "something was posted twice"
echo "ok: nothing posted twice"
echo "first announcement as the client received it (^B is the bold byte 0x02):"
head -n 2 "$received" | cat -v | sed 's/^/  /'
