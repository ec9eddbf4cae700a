#!/usr/bin/env bash
# Checks the Windows exes of two build folders: PE32 (i386) in the first,
# PE32+ (x86-64) in the second, and in each exe
# - imports only from DLLs that Windows takes from its own folder whatever
#   lies beside the exe: the KnownDLLs of Windows 7 and later, and COMCTL32,
#   which the manifest's Common Controls 6 dependency redirects;
# - the manifest (resource type 24, id 1): Common Controls 6, asInvoker, DPI
#   aware, Windows 10 and 11 among the supported systems;
# - an icon (first icon group, id 1) and a version record;
# - the hardening: ASLR with a relocation section (and high-entropy ASLR on
#   64-bit), DEP, the stack protector and the checked calls linked;
# - no time stamp in the PE header (reproducible builds);
# - the DLL search limited by the first constructor the C runtime runs, before
#   the stack protector's (which loads the crypto API's DLLs) and every other:
#   only libgcc's frame registration comes earlier, and it loads nothing (it
#   looks for a libgcc DLL already loaded, and a static exe has none).
set -euo pipefail
here=$(dirname "$0")
known='^(advapi32|comdlg32|gdi32|imm32|kernel32|msvcrt|ole32|oleaut32|psapi|setupapi|shell32|shlwapi|user32|ws2_32)\.dll$'
fail() { echo "$1: $2"; exit 1; }

check() {  # check EXE FORMAT
  local exe=$1 want=$2 headers
  [ -f "$exe" ] || fail "$exe" "missing"
  headers=$(x86_64-w64-mingw32-objdump -p "$exe")
  grep -q "file format $want" <<<"$headers" || fail "$exe" "not $want"

  local manifest
  manifest=$(python3 "$here/pe_resources.py" "$exe" 24 1) || fail "$exe" "no manifest (resource 24, 1)"
  for part in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' 'level="asInvoker"' \
              '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>' \
              '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
    grep -qF "$part" <<<"$manifest" || fail "$exe" "manifest lacks $part"
  done
  local resources
  resources=$(python3 "$here/pe_resources.py" "$exe")
  [ "$(awk '$1 == 14 {print $2; exit}' <<<"$resources")" = 1 ] || fail "$exe" "first icon group is not id 1"
  grep -q '^16 1 ' <<<"$resources" || fail "$exe" "no version record"

  local dlls
  dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u)
  for d in $dlls; do
    [ "$d" = comctl32.dll ] || grep -Eq "$known" <<<"$d" || fail "$exe" "imports $d, which Windows may take from the exe's folder"
  done

  local flags=(DYNAMIC_BASE NX_COMPAT)
  [ "$want" = pei-x86-64 ] && flags+=(HIGH_ENTROPY_VA)
  for flag in "${flags[@]}"; do
    grep -qw "$flag" <<<"$headers" || fail "$exe" "$flag not set"
  done
  x86_64-w64-mingw32-objdump -h "$exe" | grep -q ' \.reloc ' || fail "$exe" "no relocation section (ASLR)"
  grep -q 'Time/Date.*Thu Jan  1 00:00:00 1970' <<<"$headers" || fail "$exe" "time stamp in the PE header"
  local symbols
  symbols=$(x86_64-w64-mingw32-objdump -t "$exe")
  grep -Eq ' _?__stack_chk_fail$' <<<"$symbols" || fail "$exe" "stack protector not linked"
  grep -Eq ' _?__chk_fail$' <<<"$symbols" || fail "$exe" "checked calls (_FORTIFY_SOURCE) not linked"

  local ctors
  ctors=$(python3 "$here/pe_ctors.py" "$exe" | grep -v 'register_frame_ctor$' | head -1)
  grep -q 'SearchDllsInSystemFolderOnly' <<<"$ctors" || fail "$exe" "the first constructor is $ctors, not the DLL search limit"

  echo "ok: $exe ($want; imports: $(echo $dlls | tr '\n' ' '); manifest, icon, version record, ASLR, DEP, stack protector, DLL search limited first)"
}
for t in brannik vessamo; do
  check "$1/$t/$t.exe" pei-i386
  check "$2/$t/$t.exe" pei-x86-64
done
