# The Windows builds and a Wine environment to run them in on Debian. Source
# it (after scripts/lib.sh); do not run it. Functions:
#
#   wine_road               decides which Wine runs the Windows suites (below)
#   runs_32bit_programs [PROBE]
#                           whether the 32-bit Wine loader (or PROBE) starts
#   build_shipped_exe       builds the shipped i686 program and inspects it
#   check_win32_exe FILE    fails unless FILE is an i686 GUI program that
#                           imports only Windows system DLLs
#   check_win7_floor FILE   fails when FILE or src/ (or foreign code in
#                           OVPRE_FLOOR_FOREIGN, beyond its never-binds list)
#                           needs anything newer than Windows 7 or missing
#                           from docs/windows.md's table; then shows that the
#                           check catches planted faults
#   build_wine_tools        builds the test tools of tests/wine for the road
#   wine PROGRAM ARGS...    runs a Windows program with the road's Wine
#   wine_env_start [PREFIX] makes the Wine prefix ready and starts its server
#   wine_env_stop           stops the server that wine_env_start started
#
# The shipped program is 32-bit, and the suites run it under 32-bit Wine
# where this machine runs 32-bit programs. Some kernels refuse them (the
# 32-bit Wine loader then fails with "Exec format error"); there the same
# sources are built for x86_64 (preset win64) and run under 64-bit Wine, and
# the shipped 32-bit program is only built and inspected. OVPRE_WINE_BITS=64
# forces the 64-bit road, OVPRE_WINE_BITS=32 the 32-bit one;
# OVPRE_WINE32_PROBE=/bin/false makes this machine look like one that
# refuses 32-bit programs.
#
# wine_env_start exports WINEPREFIX (default build/wine-<preset>), WINEDEBUG=-all,
# WINEARCH and a UTF-8 LC_ALL, and removes DISPLAY so a message box returns at
# once. It maps drive E: to OVPRE_WINE_E (under /tmp) and F: to OVPRE_WINE_F
# (under /dev/shm), two different Linux file systems, so a move from E: to F:
# really crosses devices; drive C: is the prefix's own drive_c. A fresh
# prefix takes about 15 s; later starts reuse it.

# shellcheck source=lib.sh
[ -n "${OVPRE_ROOT:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

OVPRE_MINGW=i686-w64-mingw32
# The program whose starting tells whether this machine runs 32-bit programs.
OVPRE_WINE32_PROBE=${OVPRE_WINE32_PROBE:-/usr/lib/wine/wine}

# runs_32bit_programs [PROBE]: whether the 32-bit Wine loader starts.
runs_32bit_programs() {
  "${1:-$OVPRE_WINE32_PROBE}" --version </dev/null >/dev/null 2>&1
}

# wine_road: sets and exports OVPRE_WINE_BITS (32 or 64), OVPRE_WIN_PRESET
# (win32 or win64), OVPRE_WINE (the Wine loader to run programs with) and
# OVPRE_WINE_ROAD (one line saying which and why, printed when decided).
# Decided once: a run that finds them exported keeps them.
wine_road() {
  if [ -z "${OVPRE_WINE_ROAD:-}" ]; then
    local why
    case "${OVPRE_WINE_BITS:-}" in
      32 | 64) why="forced by OVPRE_WINE_BITS=$OVPRE_WINE_BITS" ;;
      "")
        if runs_32bit_programs; then
          OVPRE_WINE_BITS=32 why="this machine runs 32-bit programs"
        else
          OVPRE_WINE_BITS=64 why="this machine cannot run 32-bit programs"
        fi
        ;;
      *)
        echo "OVPRE_WINE_BITS must be 32, 64 or unset, not '$OVPRE_WINE_BITS'"
        return 1
        ;;
    esac
    if [ "$OVPRE_WINE_BITS" = 32 ]; then
      OVPRE_WINE_ROAD="Windows suites: 32-bit Wine ($why); the shipped 32-bit program is built, inspected and tested"
    else
      OVPRE_WINE_ROAD="Windows suites: 64-bit Wine ($why); the shipped 32-bit program is built and inspected only"
    fi
    echo "$OVPRE_WINE_ROAD"
  fi
  OVPRE_WIN_PRESET=win$OVPRE_WINE_BITS
  # Debian's "wine" picks the 32-bit loader whenever it is installed, even
  # where the kernel cannot run it: the 64-bit road names its loader.
  OVPRE_WINE=/usr/lib/wine/wine
  [ "$OVPRE_WINE_BITS" = 32 ] || OVPRE_WINE=/usr/lib/wine/wine64
  export OVPRE_WINE_BITS OVPRE_WIN_PRESET OVPRE_WINE OVPRE_WINE_ROAD
}

# build_shipped_exe: the shipped i686 program, built (with the unit tests on
# the 32-bit road, which runs them) and inspected.
build_shipped_exe() {
  local targets=()
  [ "$OVPRE_WINE_BITS" = 32 ] || targets=(--target ovpre)
  build_preset win32 "${targets[@]}" &&
    run_step inspect-win32-exe check_win32_exe "$OVPRE_ROOT/build/win32/src/ovpre.exe"
}

# build_wine_tools: the test tools of tests/wine, for the road's bitness,
# into build/<preset>/wine-tools.
build_wine_tools() {
  local tools="$OVPRE_ROOT/build/$OVPRE_WIN_PRESET/wine-tools"
  local toolchain=i686
  [ "$OVPRE_WINE_BITS" = 32 ] || toolchain=x86_64
  run_step "configure-$OVPRE_WIN_PRESET-wine-tools" cmake -S "$OVPRE_ROOT/tests/wine" -B "$tools" \
    -DCMAKE_TOOLCHAIN_FILE="$OVPRE_ROOT/cmake/toolchain-mingw-$toolchain.cmake" &&
    run_step "build-$OVPRE_WIN_PRESET-wine-tools" cmake --build "$tools" -j "$(nproc)"
}

check_win32_exe() {
  local exe=$1 facts dll bad=0
  facts=$("$OVPRE_MINGW-objdump" -p "$exe") || return
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

# Code the program carries but does not write (a library compiled in), each
# file with the list of the Windows 8 and later names it carries but never
# binds on Windows 7: "FILE LIST" pairs, relative to the source tree.
OVPRE_FLOOR_FOREIGN=("build/sqlite/sqlite3.c scripts/sqlite-never-binds.txt")

check_win7_floor() {
  local check=(python3 "$OVPRE_ROOT/scripts/check_win7_floor.py" --exe "$1"
    --table "$OVPRE_ROOT/docs/windows.md" --src "$OVPRE_ROOT/src" --objdump "$OVPRE_MINGW-objdump")
  local pair
  for pair in "${OVPRE_FLOOR_FOREIGN[@]}"; do
    check+=(--foreign "$OVPRE_ROOT/${pair% *}" --never-binds "$OVPRE_ROOT/${pair#* }")
  done
  run_step check-win7-floor "${check[@]}" && run_step check-win7-floor-self-test "${check[@]}" --self-test
}

# wine PROGRAM ARGS...: runs a Windows program with the road's Wine loader.
wine() {
  "$OVPRE_WINE" "$@"
}

wine_env_start() {
  wine_road || return
  export WINEPREFIX=${1:-$OVPRE_ROOT/build/wine-$OVPRE_WIN_PRESET}
  export WINEDEBUG=-all WINEARCH=$OVPRE_WIN_PRESET WINELOADER=$OVPRE_WINE
  # No Mono or Gecko: nothing here needs them, and asking for them stalls.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  # Wine spells Linux file names in the locale's character set: without a
  # UTF-8 locale (as under a bare CI shell) it cannot create "é" or "中".
  export LC_ALL=C.UTF-8
  # Wine keeps no Windows rights on files, only the Linux mode, which it
  # shows as rights for the user, the system and everyone. A new file gets
  # the mode the umask leaves, where Windows gives it what its folder hands
  # down: 077 stands for the private folders the program keeps its own
  # files in, which let nobody else in.
  umask 077
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # What a broken first start left is made again; anything else there is
    # not ours to remove.
    case "$WINEPREFIX" in
      "$OVPRE_ROOT"/build/*) rm -rf "$WINEPREFIX" ;;
      *) rmdir "$WINEPREFIX" 2>/dev/null || [ ! -e "$WINEPREFIX" ] ||
        { echo "$WINEPREFIX: not a Wine prefix and not empty"; return 1; } ;;
    esac
    mkdir -p "$(dirname "$WINEPREFIX")"
    run_step "wineboot-$OVPRE_WIN_PRESET" wine wineboot --init || return
    run_step "wineserver-wait-$OVPRE_WIN_PRESET" wineserver -w || return
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
  run_step "wine-start-$OVPRE_WIN_PRESET" wine cmd /c exit
}

wine_env_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  return 0
}
