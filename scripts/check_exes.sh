#!/usr/bin/env bash
# Checks the Windows exes: PE32 (i386) in the first folder, PE32+ (x86-64) in
# the second, and no DLL imports beyond Windows' own system DLLs.
set -euo pipefail
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|msvcrt|advapi32|shell32|ole32|api-ms-win-.*)\.dll$'
check() {  # check EXE FORMAT
  local exe=$1 want=$2
  [ -f "$exe" ] || { echo "missing: $exe"; exit 1; }
  x86_64-w64-mingw32-objdump -p "$exe" | grep -c "file format $want" >/dev/null || { echo "$exe: not $want"; exit 1; }
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
  for d in $dlls; do
    echo "$d" | grep -Eq "$allowed" || { echo "$exe imports $d"; exit 1; }
  done
  echo "ok: $exe ($want; imports: $(echo $dlls | tr '\n' ' '))"
}
for t in brannik vessamo; do
  check "$1/$t/$t.exe" pei-i386
  check "$2/$t/$t.exe" pei-x86-64
done
