#!/usr/bin/env bash
# The Windows build on a throwaway site under Wine, each request started as
# the FTP server starts it (an exact command line through CreateProcessW).
# The server's ownership control is the test double from tests/wine, which
# logs the calls it gets. Run through: scripts/demo.sh --windows
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$OVPRE_ROOT/scripts/wine-env.sh"

install_packages
wine_road
build="$OVPRE_ROOT/build/$OVPRE_WIN_PRESET"
tools="$build/wine-tools"
echo "== building (Windows, preset $OVPRE_WIN_PRESET) and the test tools"
build_preset "$OVPRE_WIN_PRESET" --target ovpre >/dev/null
build_wine_tools >/dev/null

echo "== preparing the Wine prefix (the first time takes a while)"
wine_env_start
install="$WINEPREFIX/drive_c/ovpre-demo"
remove_site() {
  rm -rf "$install" "$OVPRE_WINE_E/raiden" "$OVPRE_WINE_E/ftp" "$OVPRE_WINE_F/mp3"
}
trap 'wine_env_stop; remove_site' EXIT
remove_site

mkdir -p "$install" "$OVPRE_WINE_E/raiden/Output" "$OVPRE_WINE_E/raiden/windrop" \
  "$OVPRE_WINE_E/ftp/pre/MyGroup" "$OVPRE_WINE_F/mp3"
# The double registers, beside the control's library, a decoy that only
# looks like it in the registry.
cp "$build/src/ovpre.exe" "$tools/launch.exe" "$tools/raidenmodex_double.dll" \
  "$tools/decoy.tlb" "$install/"
export OVPRE_CONTROL_LOG='C:\ovpre-demo\control.log'
run_step demo-regsvr32 wine regsvr32 /s 'C:\ovpre-demo\raidenmodex_double.dll'

# The releases go from drive E: to a dated folder on drive F:, which the
# siteop has made (ovpre makes no folders of its own).
date_folder=$(date +%m-%d)
mkdir -p "$OVPRE_WINE_F/mp3/$date_folder"
printf '%s\r\n' \
  'raidendir=E:\raiden' \
  'announcefile=E:\raiden\windrop\announce.dat' \
  'sitename=DemoSite' \
  'group=MyGroup' \
  'owndir=E:\ftp\pre\MyGroup' \
  'todir=F:\mp3' \
  'dated=2' \
  'newowner=admin:admins' \
  'newperms=644' >"$install/ovpre.ini"

release="Some.Artist-Some.Album-2026-MyGroup"
mkdir -p "$OVPRE_WINE_E/ftp/pre/MyGroup/$release/CD1"
echo "nfo text" >"$OVPRE_WINE_E/ftp/pre/MyGroup/$release/$release.nfo"
head -c 300000 /dev/urandom >"$OVPRE_WINE_E/ftp/pre/MyGroup/$release/CD1/01-track.mp3"

show() {  # show FILE LABEL: the bytes made visible: ^B is IRC bold, ^M$ is CR LF
  echo "--- $2"
  cat -A "$1" | sed 's/^/    /'
}

serve() {  # serve LINE: starts ovpre.exe with exactly this command line
  echo
  echo "== the server runs: $1"
  printf '%s' "$1" >"$install/request.txt"
  local status=0
  wine 'C:\ovpre-demo\launch.exe' 'C:\ovpre-demo\ovpre.exe' 'C:\ovpre-demo\request.txt' 60 \
    </dev/null || status=$?
  echo "    (exit code $status)"
}

serve "ovpre.exe x|MyGroup|1|101|E:\\ftp\\pre\\MyGroup|pre $release"
show "$OVPRE_WINE_E/raiden/Output/site-pre.101" 'E:\raiden\Output\site-pre.101'
show "$OVPRE_WINE_E/raiden/windrop/announce.dat" 'E:\raiden\windrop\announce.dat'
echo "--- the moved tree on F: (a different Linux file system from E:)"
(cd "$OVPRE_WINE_F" && find mp3 -printf '    %y %8s  %p\n' | sort -k3)
echo "--- left in the group's folder on E:: $(ls -A "$OVPRE_WINE_E/ftp/pre/MyGroup" | wc -l) entries"
echo "--- the control's calls (perms, owner user, owner group, path, two flags, argument types)"
sed 's/^/    /' "$install/control.log"

serve "ovpre.exe x|MyGroup|0|102|E:\\|preadd NewGroup*E:\\ftp\\pre\\NewGroup*F:\\mp3*0*admin:admins*664"
show "$OVPRE_WINE_E/raiden/Output/site-preadd.102" 'E:\raiden\Output\site-preadd.102'
echo "--- the settings file now ends with"
tail -6 "$install/ovpre.ini" | cat -A | sed 's/^/    /'

serve "ovpre.exe x|MyGroup|0|103|E:\\|who"
echo "    files in Output: $(ls "$OVPRE_WINE_E/raiden/Output" | tr '\n' ' ')"
