#!/usr/bin/env python3
"""Prints the constructors a MinGW-w64 exe runs before its WinMain, one name
a line, in the order its C runtime runs them (__do_global_ctors calls the
__CTOR_LIST__ table from its end back to its start).

Usage: pe_ctors.py EXE

The exe must keep its symbol table (the build does not strip it). Used by
check_exes.sh: the DLL search must be limited before any constructor that
may load a DLL.
"""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_resources import sections  # noqa: E402


def symbols(path):
    """{address: name} of the exe's functions, and the table's address."""
    out = subprocess.run(['x86_64-w64-mingw32-nm', path], capture_output=True, text=True, check=True).stdout
    names, table = {}, None
    for line in out.splitlines():
        parts = line.split()
        if len(parts) != 3:
            continue
        address, kind, name = int(parts[0], 16), parts[1], parts[2]
        if name.lstrip('_') == 'CTOR_LIST__':
            table = address
        elif kind in 'tT' and not name.startswith('.'):
            names.setdefault(address, name)
    return names, table


def constructors(path):
    with open(path, 'rb') as f:
        data = f.read()
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    optional = pe + 24
    wide = struct.unpack_from('<H', data, optional)[0] == 0x20B
    base = struct.unpack_from('<Q', data, optional + 24)[0] if wide else struct.unpack_from('<I', data, optional + 28)[0]
    size, fmt = (8, '<Q') if wide else (4, '<I')
    _, secs = sections(data)
    names, table = symbols(path)
    if table is None:
        raise SystemExit('%s: no __CTOR_LIST__ in its symbols' % path)

    def word(address):
        rva = address - base
        for vaddr, length, raddr in secs:
            if vaddr <= rva < vaddr + length:
                return struct.unpack_from(fmt, data, raddr + rva - vaddr)[0]
        raise SystemExit('%s: address %#x outside the sections' % (path, address))

    entries = []
    at = table + size  # the first word is the count, or -1
    while word(at) not in (0, (1 << (8 * size)) - 1):
        entries.append(word(at))
        at += size
    return [names.get(a, hex(a)) for a in reversed(entries)]


if __name__ == '__main__':
    for name in constructors(sys.argv[1]):
        print(name)
