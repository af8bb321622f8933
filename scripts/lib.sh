# Shared helpers for the project's scripts. Source it; do not run it.

OVPRE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# need_packages PKG...: installs the Debian packages that are missing,
# without their recommended packages unless OVPRE_APT_RECOMMENDS=1.
need_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  local recommends="--no-install-recommends"
  [ "${OVPRE_APT_RECOMMENDS:-0}" = 1 ] && recommends=""
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $recommends \
    "${missing[@]}" >/dev/null
}

# build_native DIR [CMAKE ARGS...]: configures and builds the POSIX build.
build_native() {
  local dir=$1
  shift
  need_packages g++ cmake make libgtest-dev
  cmake -S "$OVPRE_ROOT" -B "$dir" -DOVPRE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
