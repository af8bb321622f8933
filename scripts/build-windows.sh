#!/usr/bin/env bash
# Builds the shipped program: a stripped 32-bit ovpre.exe and the ZIP with
# it, readme.txt and the eggdrop script with its README, in
# build/win32-release (preset win32-release). Installs MinGW-w64 when
# missing. Checks the program, its version resource and the ZIP's contents.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

build="$OVPRE_ROOT/build/win32-release"
need_packages cmake make g++-mingw-w64-i686-posix mingw-w64-tools libz-mingw-w64-dev python3 unicode-data

# check_version EXE: the version resource carries the project's version,
# as numbers and as text, and a description.
check_version() {
  local version numbers resources line a b c d bad=0
  version=$(sed -n 's/^project(ovpre VERSION \([0-9.]*\).*/\1/p' "$OVPRE_ROOT/CMakeLists.txt")
  IFS=. read -r a b c d <<<"$version"
  numbers="${a:-0}, ${b:-0}, ${c:-0}, ${d:-0}"
  resources=$("$OVPRE_MINGW-windres" -i "$1" -O rc) || return
  for line in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "FileDescription", "ovpre - ' 'VALUE "OriginalFilename", "ovpre.exe"'; do
    grep -Fq "$line" <<<"$resources" || { echo "$1: no $line in its version resource"; bad=1; }
  done
  [ $bad -eq 0 ] && echo "$1: version $version ($numbers)"
  return $bad
}

# check_zip ZIP EXE: the ZIP holds exactly the program and the files shipped
# beside it, each as it is here; the texts a siteop reads in Notepad have CR LF
# line ends (Notepad before Windows 10 1809 shows LF-only text as one line).
check_zip() {
  python3 - "$1" "$2" "$OVPRE_ROOT" <<'PY'
import sys, zipfile
zip_path, exe, root = sys.argv[1:]
shipped = {"ovpre.exe": exe, "readme.txt": root + "/readme.txt",
           "eggdrop/ovpre-announce.tcl": root + "/contrib/eggdrop/ovpre-announce.tcl",
           "eggdrop/README.md": root + "/contrib/eggdrop/README.md"}
with zipfile.ZipFile(zip_path) as z:
    names = sorted(n for n in z.namelist() if not n.endswith("/"))
    if names != sorted(shipped):
        sys.exit(f"{zip_path} holds {names}, not {sorted(shipped)}")
    for name, source in shipped.items():
        if z.read(name) != open(source, "rb").read():
            sys.exit(f"{zip_path}: {name} differs from {source}")
    for name in ("readme.txt", "eggdrop/README.md"):
        text = z.read(name)
        if text.count(b"\n") != text.count(b"\r\n"):
            sys.exit(f"{zip_path}: {name} has line ends without CR")
print(f"{zip_path}: " + ", ".join(names))
PY
}

build_preset win32-release
check_win32_exe "$build/src/ovpre.exe"
check_win7_floor "$build/src/ovpre.exe"
check_version "$build/src/ovpre.exe"
check_zip "$(ls "$build"/ovpre-*-win32.zip)" "$build/src/ovpre.exe"
echo "program: $build/src/ovpre.exe"
echo "package: $(ls "$build"/ovpre-*-win32.zip)"
