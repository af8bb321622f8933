# Shared helpers for the project's scripts. Source it; do not run it.
#
#   run_step NAME COMMAND...   runs COMMAND with its output in build/logs/NAME.log;
#                              when it fails, says which step failed and shows
#                              the log's last lines
#   install_packages           everything the test suites need, in one go
#   need_packages PKG...       the given packages, for the scripts run alone
#   need_sqlite                build/sqlite/sqlite3.c, made once from Debian's
#                              sqlite3 source package (scripts/sqlite.sh)
#   build_preset PRESET [CMAKE BUILD ARGS...]
#                              makes sure of SQLite, then configures and builds
#                              the CMake preset PRESET (build/PRESET)
#   test_preset PRESET         runs the CTest preset PRESET

OVPRE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OVPRE_LOGS="$OVPRE_ROOT/build/logs"
OVPRE_LOG_LINES=${OVPRE_LOG_LINES:-40}

run_step() {
  local name=$1 status began=$SECONDS
  shift
  local log="$OVPRE_LOGS/$name.log"
  mkdir -p "$OVPRE_LOGS"
  "$@" </dev/null >"$log" 2>&1 && status=0 || status=$?
  if [ $status -ne 0 ]; then
    echo "FAILED step: $name (exit $status): $*"
    echo "--- last $OVPRE_LOG_LINES lines of ${log#"$OVPRE_ROOT"/}"
    tail -n "$OVPRE_LOG_LINES" "$log"
    echo "---"
    return $status
  fi
  echo "ok: $name ($((SECONDS - began)) s)"
}

# What the test suites need on Debian 12. Wine is installed as Debian installs
# it by default, with its recommended packages (they are libwine's): that is
# the Wine the suites were proven on. Both Wines are installed;
# scripts/wine-env.sh picks the one this machine runs.
OVPRE_PACKAGES=(g++ cmake make libgtest-dev googletest clang libclang-rt-14-dev python3
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev
  eggdrop ngircd zlib1g-dev libz-mingw-w64-dev cksfv strace unicode-data tcl dpkg-dev sqlite3)
OVPRE_WINE_PACKAGES=(wine wine32:i386 wine64 libwine libwine:i386)

# missing_packages PKG...: prints those of PKG that are not installed.
missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
      || echo "$pkg"
  done
}

# apt_install [--recommends-of PKG...] -- PKG...: one "apt-get update" and
# one "apt-get install" of PKG, without recommended packages, except those of
# the packages after --recommends-of (which are added to the list).
apt_install() {
  local with_recommends=()
  if [ "${1:-}" = --recommends-of ]; then
    shift
    while [ "$1" != -- ]; do with_recommends+=("$1"); shift; done
  fi
  shift
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  local pkgs=("$@" "${with_recommends[@]}")
  echo "installing: ${pkgs[*]}"
  run_step apt-get-update $sudo apt-get update || return
  # The first choice of each recommendation, as apt itself would take it.
  local pkg
  for pkg in "${with_recommends[@]}"; do
    pkgs+=($(apt-cache depends --no-depends --no-suggests --no-conflicts --no-breaks \
      --no-replaces --no-enhances --no-pre-depends "$pkg" |
      awk '/^ *\|?Recommends:/ { if (!skip && $2 !~ /^</) print $2; skip = ($1 ~ /^\|/) }'))
  done
  run_step apt-get-install env DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y \
    --no-install-recommends "${pkgs[@]}"
}

install_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo dpkg --add-architecture i386 # before the one "apt-get update"
  fi
  local missing wine_missing
  missing=$(missing_packages "${OVPRE_PACKAGES[@]}")
  wine_missing=$(missing_packages "${OVPRE_WINE_PACKAGES[@]}")
  [ -n "$missing$wine_missing" ] || return 0
  # shellcheck disable=SC2086
  apt_install --recommends-of $wine_missing -- $missing
}

# need_packages checks nothing under scripts/test.sh, which installed
# everything first (OVPRE_PACKAGES_READY=1).
need_packages() {
  [ "${OVPRE_PACKAGES_READY:-0}" = 1 ] && return 0
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] || apt_install -- $missing
}

# Every build compiles SQLite in; its one-file source is made here, once,
# and kept in build/sqlite/ for every preset.
need_sqlite() {
  [ -s "$OVPRE_ROOT/build/sqlite/sqlite3.c" ] && [ -s "$OVPRE_ROOT/build/sqlite/sqlite3.h" ] &&
    return 0
  need_packages dpkg-dev tcl && run_step sqlite bash "$OVPRE_ROOT/scripts/sqlite.sh"
}

build_preset() {
  local preset=$1
  shift
  need_sqlite || return
  run_step "configure-$preset" cmake --preset "$preset" &&
    run_step "build-$preset" cmake --build --preset "$preset" -j "$(nproc)" "$@"
}

test_preset() {
  run_step "ctest-$1" ctest --preset "$1" -j "$(nproc)"
}
