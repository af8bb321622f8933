#!/usr/bin/env bash
# Makes build/sqlite/sqlite3.c and sqlite3.h, the SQLite that both programs
# compile in, from Debian 12's own "sqlite3" source package: a private apt
# source list (build/sqlite/apt/) fetches the source package without
# touching the system's lists, dpkg-source unpacks it, and SQLite's own
# "./configure && make sqlite3.c" makes the one-file form. Done once: an
# existing build/sqlite/sqlite3.c is kept. Needs dpkg-dev and tcl.
#   OVPRE_DEBIAN_MIRROR   the Debian mirror (default: the one the system uses,
#                         else http://deb.debian.org/debian)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/sqlite"
[ -s "$out/sqlite3.c" ] && [ -s "$out/sqlite3.h" ] && exit 0

# The mirror the machine already uses for bookworm, so that a local mirror
# serves this too.
system_mirror() {
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
    2>/dev/null | grep -v '^ *#' | grep -oE 'https?://[^ ]+/debian/?' | head -n 1
}
mirror=${OVPRE_DEBIAN_MIRROR:-$(system_mirror || true)}
mirror=${mirror:-http://deb.debian.org/debian}

work="$out/work"
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/source"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} bookworm main" \
  >"$work/sources.list"
apt=(apt-get -q -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=-
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
  -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
"${apt[@]}" update
(cd "$work/source" && "${apt[@]}" source --download-only sqlite3)
dsc=$(ls "$work/source"/sqlite3_3.40.1-*.dsc)
dpkg-source --no-check -x "$dsc" "$work/tree"
(cd "$work/tree" && ./configure --quiet && make sqlite3.c)
cp "$work/tree/sqlite3.c" "$work/tree/sqlite3.h" "$out/"
rm -rf "$work"
echo "SQLite $(grep -m1 -oE '#define SQLITE_VERSION +"[^"]+"' "$out/sqlite3.h" | cut -d'"' -f2): $out/sqlite3.c"
