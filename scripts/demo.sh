#!/usr/bin/env bash
# Builds ovpre and runs it on a throwaway site, exactly as the FTP server
# would start it, then shows what it left behind.
#   scripts/demo.sh            the POSIX build
#   scripts/demo.sh --windows  the Windows build under Wine
set -euo pipefail
source "$(dirname "$0")/lib.sh"

if [ "${1:-}" = "--windows" ]; then
  exec bash "$OVPRE_ROOT/scripts/demo-windows.sh"
fi

echo "== building (POSIX)"
need_packages g++ cmake make libgtest-dev zlib1g-dev python3 unicode-data
build_preset native --target ovpre >/dev/null
site=$(mktemp -d /tmp/ovpre-demo.XXXXXX)
trap 'rm -rf "$site"' EXIT

mkdir -p "$site/bin" "$site/raiden/Output" "$site/ftp/pre/MyGroup" "$site/ftp/mp3"
cp "$OVPRE_ROOT/build/native/src/ovpre" "$site/bin/ovpre"

show() {  # show FILE: the bytes made visible: ^B is IRC bold, ^M$ is CR LF
  echo "--- $1"
  cat -A "$1" | sed 's/^/    /'
}

echo
echo "== first run by hand: no arguments, so ovpre only writes its settings file"
"$site/bin/ovpre"
echo "($(wc -l <"$site/bin/ovpre.ini") lines written to bin/ovpre.ini; its first three:)"
head -3 "$site/bin/ovpre.ini" | cat -A | sed 's/^/    /'

# The siteop edits the settings for this site.
owner="admin:admins"
if [ "$(id -u)" -eq 0 ]; then owner="nobody:nogroup"; fi
printf '%s\r\n' \
  "sitename=DemoSite" \
  "raidendir=$site/raiden" \
  "announcefile=$site/announce.dat" \
  "group=MyGroup" \
  "owndir=$site/ftp/pre/MyGroup" \
  "todir=$site/ftp/mp3" \
  "dated=0" \
  "newowner=$owner" \
  "newperms=644" >"$site/bin/ovpre.ini"

release="Some.Artist-Some.Album-2026-MyGroup"
mkdir -p "$site/ftp/pre/MyGroup/$release/CD1"
echo "nfo text" >"$site/ftp/pre/MyGroup/$release/$release.nfo"
head -c 300000 /dev/urandom >"$site/ftp/pre/MyGroup/$release/CD1/01-track.mp3"
chmod 600 "$site/ftp/pre/MyGroup/$release/CD1/01-track.mp3"

echo
echo "== the server runs: ovpre \"x|MyGroup|1|101|<own folder>|pre $release\""
"$site/bin/ovpre" "x|MyGroup|1|101|$site/ftp/pre/MyGroup|pre $release"
show "$site/raiden/Output/site-pre.101"
show "$site/announce.dat"
echo "--- the moved tree, with owners and modes (newowner=$owner, newperms=644)"
(cd "$site/ftp/mp3" && find . -printf '    %M %u:%g %p\n' | sort -k3)
echo "--- left in the group's folder: $(ls -A "$site/ftp/pre/MyGroup" | wc -l) entries"

echo
echo "== the same release again: it is gone from the group's folder"
"$site/bin/ovpre" "x|MyGroup|1|102|$site/ftp/pre/MyGroup|pre $release"
show "$site/raiden/Output/site-pre.102"

echo
echo "== a siteop (access 0) adds a group: preadd NewGroup*...*2*$owner*664"
"$site/bin/ovpre" "x|MyGroup|0|103|/|preadd NewGroup*$site/ftp/pre/NewGroup*$site/ftp/mp3*2*$owner*664"
show "$site/raiden/Output/site-pre""add.103"
echo "--- the settings file now ends with"
tail -6 "$site/bin/ovpre.ini" | cat -A | sed 's/^/    /'

echo
echo "== a user without access tries the same"
"$site/bin/ovpre" "x|MyGroup|1|104|/|preadd Other*a*b*0*u:g*666"
show "$site/raiden/Output/site-preadd.104"

echo
echo "== any other site command is ignored: nothing is written"
"$site/bin/ovpre" "x|MyGroup|0|105|/|who"
echo "    files in Output: $(ls "$site/raiden/Output" | tr '\n' ' ')"

echo
echo "The Windows build runs the same site under Wine: scripts/demo.sh --windows"
echo "An IRC bot posts the announce file: contrib/eggdrop/ (tested by scripts/suites/60-eggdrop.sh)"
