#!/usr/bin/env bash
# From zero to a working flash: installs what is missing, builds the 64-bit
# exes, panel_driver.exe and devsim, writes a sample firmware image and EEPROM
# data file, and runs the real brannik.exe and vessamo.exe under Wine against
# devsim, the simulated device.
#
#   ./demo.sh              with DISPLAY set you do the clicking (it says what);
#                          without DISPLAY it drives the tools itself on Xvfb
#   ./demo.sh --headless   drive the tools itself even when DISPLAY is set
#
# Exits 0 only when both tools delivered exactly the sample data to the
# simulated device. Screenshots and the device images go to build/demo/.
# BUILD_WIN64 and BUILD_NATIVE choose the build folders (default build/win64
# and build/native, the ones ./run_tests.sh uses too).
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
win64=${BUILD_WIN64:-build/win64}
native=${BUILD_NATIVE:-build/native}
out=build/demo
headless=()
for arg in "$@"; do
  case $arg in
    --headless) headless=(--headless) ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
  esac
done

step() { printf '\n=== %s\n' "$*"; }

step "1/5 dependencies (Debian packages)"
if [ "$(id -u)" = 0 ]; then
  bash scripts/install_deps.sh
elif command -v sudo >/dev/null; then
  sudo bash scripts/install_deps.sh
else
  echo "not root and no sudo: assuming the packages of scripts/install_deps.sh are installed"
fi

step "2/5 build: brannik.exe, vessamo.exe, panel_driver.exe (MinGW-w64, x86-64) and devsim (native)"
mkdir -p build
configure() {  # configure DIR [cmake args...]
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  fi
}
configure "$win64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
cmake --build "$win64" --target brannik vessamo panel_driver
configure "$native"
cmake --build "$native" --target devsim

step "3/5 sample files"
python3 scripts/make_samples.py "$out/samples"

step "4/5 + 5/5 brannik.exe and vessamo.exe under Wine against devsim"
set +e
python3 scripts/demo_wine.py --win64 "$win64" --devsim "$native/devsim/devsim" \
  --samples "$out/samples" --out "$out" "${headless[@]}"
rc=$?
set -e
if [ $rc = 0 ]; then
  step "demo passed: both tools wrote exactly the sample data (screenshots in $root/$out)"
else
  step "demo FAILED (exit $rc)"
fi
exit $rc
