#!/usr/bin/env bash
# From zero to a working flash: installs what is missing, builds the 32-bit
# exes that technicians run, panel_driver.exe and devsim, writes a sample
# firmware image and EEPROM data file, and runs the real brannik.exe and
# vessamo.exe under Wine against devsim, the simulated device.
#
#   ./demo.sh              with DISPLAY set you do the clicking (it says what);
#                          without DISPLAY it drives the tools itself on Xvfb
#   ./demo.sh --headless   drive the tools itself even when DISPLAY is set
#   ./demo.sh --win64      use the 64-bit exes instead
#
# On a kernel that does not execute 32-bit programs it says so and uses the
# 64-bit exes. Exits 0 only when both tools delivered exactly the sample data
# to the simulated device. Screenshots and the device images go to
# build/demo/. BUILD_WIN32, BUILD_WIN64 and BUILD_NATIVE choose the build
# folders (default build/win32, build/win64 and build/native, the ones
# ./run_tests.sh uses too).
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
win32=${BUILD_WIN32:-build/win32}
win64=${BUILD_WIN64:-build/win64}
native=${BUILD_NATIVE:-build/native}
out=build/demo
headless=()
bits=32
for arg in "$@"; do
  case $arg in
    --headless) headless=(--headless) ;;
    --win64) bits=64 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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

if [ $bits = 32 ]; then
  why=$(cd tests/e2e && python3 -c 'import harness; print(harness.cannot_run(32) or "")')
  if [ -n "$why" ]; then
    echo "NOTE: the 32-bit exes cannot run on this machine: $why"
    echo "      using the 64-bit exes instead (same code, other bitness)"
    bits=64
  fi
fi
if [ $bits = 32 ]; then
  build_dir=$win32 toolchain=cmake/mingw-i686.cmake arch=i686
else
  build_dir=$win64 toolchain=cmake/mingw-x86_64.cmake arch=x86-64
fi

step "2/5 build: brannik.exe, vessamo.exe, panel_driver.exe (MinGW-w64, $arch) and devsim (native)"
mkdir -p build
configure() {  # configure DIR [cmake args...]
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  fi
}
configure "$build_dir" -DCMAKE_TOOLCHAIN_FILE=$toolchain
cmake --build "$build_dir" --target brannik vessamo panel_driver
configure "$native"
cmake --build "$native" --target devsim

step "3/5 sample files"
python3 scripts/make_samples.py "$out/samples"

step "4/5 + 5/5 the $bits-bit brannik.exe and vessamo.exe under Wine against devsim"
set +e
python3 scripts/demo_wine.py --build "$build_dir" --devsim "$native/devsim/devsim" \
  --samples "$out/samples" --out "$out" "${headless[@]}"
rc=$?
set -e
if [ $rc = 0 ]; then
  step "demo passed: both tools wrote exactly the sample data (screenshots in $root/$out)"
else
  step "demo FAILED (exit $rc)"
fi
exit $rc
