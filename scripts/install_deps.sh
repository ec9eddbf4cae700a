#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
# Safe to run again: apt-get skips what is already there.
#
# The 32-bit Wine (wine32:i386) runs the 32-bit exes that technicians use;
# it needs the i386 architecture enabled before the package lists are read.
#
# A package mirror in mid-sync is an ordinary day: an index that fails to
# download ("File has unexpected size ... Mirror sync in progress?") is
# reported, tried once more after a pause, and then left out; the install
# goes on with the lists that were read. With an i386 list missing, the
# install is tried again with the release's own suite preferred; if the
# 32-bit Wine is still out of reach, everything else is installed, the 32-bit
# end-to-end tests then skip (saying why), and the script ends with 0. Any
# other package that cannot be installed is an error: apt's message, exit 1.
#
# Environment: INSTALL_DEPS_RETRY_PAUSE, seconds before the second try of a
# failed update (default 30).
set -euo pipefail
packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 mingw-w64-tools
  wine64 xvfb x11-utils xdotool imagemagick locales
  python3
)
wine32=wine32:i386
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

installed() {  # installed PACKAGE
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# apt-get update, twice at most. apt exits 100 when any index failed, yet
# keeps every list it did read; the failures are named and the rest used.
update_lists() {
  local try pause=${INSTALL_DEPS_RETRY_PAUSE:-30}
  for try in 1 2; do
    if apt-get update -qq > "$log" 2>&1; then
      return 0
    fi
    echo "install_deps: apt-get update could not read every package index (try $try of 2):" >&2
    grep -E '^(E|W|Err):' "$log" | sed 's/^/  /' >&2 || cat "$log" >&2
    if [ "$try" = 1 ]; then
      echo "install_deps: trying again in ${pause} s (a mirror in mid-sync finishes)" >&2
      sleep "$pause"
    fi
  done
  echo "install_deps: going on with the package lists that were read" >&2
}

# apt-get install of the packages named; apt's message is kept in $log.
install() {
  apt-get install -y -qq "$@" > "$log" 2>&1
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
want_wine32=0
installed "$wine32" || want_wine32=1
if [ ${#missing[@]} -eq 0 ] && [ "$want_wine32" = 0 ]; then
  exit 0
fi
update_lists

all=("${missing[@]}")
[ "$want_wine32" = 1 ] && all+=("$wine32")
if install "${all[@]}"; then
  exit 0
fi
if [ "$want_wine32" = 1 ]; then
  # A missing i386 list of the security suite leaves amd64 libraries newer
  # than any i386 twin, and multiarch needs both at one version. The
  # release's own suite has both lists whole: prefer it for this install.
  # (Nothing installed is downgraded; a later upgrade takes the fixes.)
  codename=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release 2>/dev/null || true)
  if [ -n "$codename" ]; then
    echo "install_deps: that install failed; trying again with $codename's own suite preferred, whose amd64 and i386 lists agree" >&2
    if install -t "$codename" "${all[@]}"; then
      exit 0
    fi
  fi
  # Is the 32-bit Wine the only one out of reach? The rest alone decides.
  wine32_log=$(cat "$log")
  if [ ${#missing[@]} -eq 0 ] || install "${missing[@]}"; then
    echo "install_deps: $wine32 could not be installed; everything else is." >&2
    printf '%s\n' "$wine32_log" | grep -E '^(E:| )' | sed 's/^/  /' >&2 || true
    echo "install_deps: the 32-bit end-to-end tests will be skipped. To add the 32-bit Wine later, once the mirror is whole: apt-get update && apt-get install $wine32" >&2
    exit 0
  fi
fi
echo "install_deps: apt-get install failed:" >&2
cat "$log" >&2
exit 1
