#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
# Safe to run again: apt-get skips what is already there.
# The 32-bit Wine (wine32:i386) runs the 32-bit exes that technicians use;
# it needs the i386 architecture enabled before the package lists are read.
set -euo pipefail
packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 mingw-w64-tools
  wine64 wine32:i386 xvfb x11-utils xdotool imagemagick locales
  python3
)
export DEBIAN_FRONTEND=noninteractive
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ "$need_update" = 1 ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -qq "${missing[@]}"
fi
