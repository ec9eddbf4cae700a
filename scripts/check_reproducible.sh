#!/usr/bin/env bash
# Builds the exes of one commit a second time, in another folder, with the
# same configure command as run_tests.sh, and checks that every exe comes out
# byte for byte as in the first build (no time stamp, no build path).
# Usage: check_reproducible.sh FIRST_BUILD TOOLCHAIN_FILE SECOND_BUILD
set -euo pipefail
cd "$(dirname "$0")/.."
first=$1 toolchain=$2 second=$3
rm -rf "$second"
cmake -S . -B "$second" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" > "$second.configure.log" 2>&1 \
  || { cat "$second.configure.log"; exit 1; }
cmake --build "$second" --target brannik vessamo > "$second.build.log" 2>&1 || { cat "$second.build.log"; exit 1; }
for t in brannik vessamo; do
  cmp -s "$first/$t/$t.exe" "$second/$t/$t.exe" \
    || { echo "not reproducible: $first/$t/$t.exe and $second/$t/$t.exe differ"; exit 1; }
  echo "reproducible: $t.exe ($(sha256sum < "$first/$t/$t.exe" | cut -c1-16)...) from $first and $second"
done
