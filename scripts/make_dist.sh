#!/usr/bin/env bash
# Fills dist/ (not committed) with what a Windows user needs:
#   dist/win32/  brannik.exe, vessamo.exe (32-bit, static)
#   dist/win64/  brannik.exe, vessamo.exe (64-bit, static)
#   dist/samples/sample.zel, dist/samples/zel_eeprom.dat (bench tests only)
#   dist/README-windows.txt (ASCII, CRLF)
#   dist/SHA256SUMS.txt: each exe's SHA-256 (CRLF), for the technician to check
# Builds the exes in build/win32 and build/win64 (BUILD_WIN32/BUILD_WIN64
# override) and checks them with scripts/check_exes.sh first. The samples are
# kept apart from the exes on purpose: vessamo loads zel_eeprom.dat from its
# start folder, and sample data must not reach a real device by a double-click.
set -euo pipefail
cd "$(dirname "$0")/.."
win32=${BUILD_WIN32:-build/win32}
win64=${BUILD_WIN64:-build/win64}
dist=dist

mkdir -p build
for pair in "$win32:cmake/mingw-i686.cmake" "$win64:cmake/mingw-x86_64.cmake"; do
  dir=${pair%%:*}
  toolchain=${pair#*:}
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" > "$dir.configure.log" 2>&1 \
      || { cat "$dir.configure.log"; exit 1; }
  fi
  cmake --build "$dir" --target brannik vessamo
done
bash scripts/check_exes.sh "$win32" "$win64"

rm -rf "$dist"
mkdir -p "$dist/win32" "$dist/win64" "$dist/samples"
for t in brannik vessamo; do
  cp "$win32/$t/$t.exe" "$dist/win32/"
  cp "$win64/$t/$t.exe" "$dist/win64/"
done
python3 scripts/make_samples.py "$dist/samples" > /dev/null

# README for Windows: plain ASCII with CRLF line ends, whatever the checkout did.
if LC_ALL=C grep -q '[^[:print:][:space:]]' docs/README-windows.txt; then
  echo "docs/README-windows.txt is not plain ASCII" >&2
  exit 1
fi
sed 's/\r$//; s/$/\r/' docs/README-windows.txt > "$dist/README-windows.txt"

# The exes' fingerprints, as certutil and Get-FileHash print them (upper case).
(cd "$dist" && sha256sum win32/*.exe win64/*.exe | awk '{gsub("/", "\\", $2); printf "%s  %s\r\n", toupper($1), $2}') \
  > "$dist/SHA256SUMS.txt"

(cd "$dist" && find . -type f | sort | while read -r f; do
  printf '%8d  %s\n' "$(stat -c %s "$f")" "${f#./}"
done)
echo "dist/ ready"
