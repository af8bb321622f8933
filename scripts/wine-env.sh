# The Windows build and a Wine environment to run it in on Debian. Source it
# (after scripts/lib.sh); do not run it. Functions:
#
#   need_win32_packages     installs MinGW-w64 and 32-bit Wine when missing
#   build_win32 DIR [ARGS]  cross-builds the Windows program and tests in DIR
#   check_win32_exe FILE    fails unless FILE is an i686 GUI program that
#                           imports only Windows system DLLs
#   wine_env_start [PREFIX] makes the Wine prefix ready and starts its server
#   wine_env_stop           stops the server that wine_env_start started
#
# wine_env_start exports WINEPREFIX (default build/wine-prefix; give each
# suite that runs at the same time its own), WINEDEBUG=-all, WINEARCH and a
# UTF-8 LC_ALL, and removes DISPLAY so a message box returns at once. It maps drive E: to
# OVPRE_WINE_E (under /tmp) and F: to OVPRE_WINE_F (under /dev/shm), two
# different Linux file systems, so a move from E: to F: really crosses
# devices; drive C: is the prefix's own drive_c. A fresh prefix takes about
# 15 s; later starts reuse it.

# shellcheck source=lib.sh
[ -n "${OVPRE_ROOT:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

OVPRE_MINGW=i686-w64-mingw32

need_win32_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo dpkg --add-architecture i386
    # need_packages refreshes the package lists before it installs.
  fi
  # Wine is used as Debian installs it by default, recommended libraries
  # included: that is the Wine the suites were proven on.
  OVPRE_APT_RECOMMENDS=1 need_packages cmake make g++-mingw-w64-i686-posix mingw-w64-tools \
    wine wine32:i386 libwine-dev googletest
}

build_win32() {
  local dir=$1
  shift
  cmake -S "$OVPRE_ROOT" -B "$dir" \
    -DCMAKE_TOOLCHAIN_FILE="$OVPRE_ROOT/cmake/toolchain-mingw-i686.cmake" \
    -DOVPRE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

check_win32_exe() {
  local exe=$1 facts dll bad=0
  facts=$("$OVPRE_MINGW-objdump" -p "$exe")
  grep -q 'file format pei-i386' <<<"$facts" || { echo "$exe: not an i686 program"; bad=1; }
  grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$facts" \
    || { echo "$exe: not a GUI-subsystem program"; bad=1; }
  # Windows 7 (6.1) as the oldest system, and the manifest (type 24) inside.
  local version
  for version in MajorOSystemVersion.6 MinorOSystemVersion.1 \
    MajorSubsystemVersion.6 MinorSubsystemVersion.1; do
    grep -Eq "^${version%.*}[[:space:]]+${version#*.}\$" <<<"$facts" \
      || { echo "$exe: ${version%.*} is not ${version#*.}"; bad=1; }
  done
  grep -Eq '^[0-9a-f]+   Entry: ID: 0x000018,' <<<"$facts" \
    || { echo "$exe: no manifest among its resources"; bad=1; }
  while read -r dll; do
    case "${dll,,}" in
      kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | ole32.dll | \
        oleaut32.dll | msvcrt.dll | ws2_32.dll | shlwapi.dll | comctl32.dll | version.dll | \
        rpcrt4.dll | ntdll.dll) ;;
      *) echo "$exe: imports $dll, which is not part of Windows"; bad=1 ;;
    esac
  done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$facts")
  [ $bad -eq 0 ] && echo "$exe: i686, GUI subsystem, Windows 6.1, manifest, system DLLs only"
  return $bad
}

wine_env_start() {
  export WINEPREFIX=${1:-$OVPRE_ROOT/build/wine-prefix}
  export WINEDEBUG=-all WINEARCH=win32
  # No Mono or Gecko: nothing here needs them, and asking for them stalls.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  # Wine spells Linux file names in the locale's character set: without a
  # UTF-8 locale (as under a bare CI shell) it cannot create "é" or "中".
  export LC_ALL=C.UTF-8
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  local key
  key=$(printf '%s' "$WINEPREFIX" | cksum | cut -d' ' -f1)
  export OVPRE_WINE_E="${TMPDIR:-/tmp}/ovpre-wine-$key-e"
  export OVPRE_WINE_F="/dev/shm/ovpre-wine-$key-f"
  [ -d /dev/shm ] && [ -w /dev/shm ] || OVPRE_WINE_F="$WINEPREFIX-drive-f"
  mkdir -p "$OVPRE_WINE_E" "$OVPRE_WINE_F"
  ln -sfn "$OVPRE_WINE_E" "$WINEPREFIX/dosdevices/e:"
  ln -sfn "$OVPRE_WINE_F" "$WINEPREFIX/dosdevices/f:"
  # A server and Wine's own background programs started now, with their
  # output going nowhere: started later by a test, they would inherit the
  # test's output pipes and CTest would wait for them to close.
  # A server that already runs for the prefix makes the new one give up.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

wine_env_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  return 0
}
