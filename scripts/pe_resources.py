#!/usr/bin/env python3
"""Lists the resources of a Windows exe (PE32 or PE32+), or prints one.

Usage: pe_resources.py EXE                 one line a resource: TYPE NAME LANG SIZE
       pe_resources.py EXE TYPE NAME       that resource's bytes on stdout

TYPE and NAME are numbers (24 is a manifest, 14 an icon group, 16 a version
record) or names. Used by check_exes.sh and the end-to-end tests.
"""
import struct
import sys


def sections(data):
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('not a PE file')
    count = struct.unpack_from('<H', data, pe + 6)[0]
    optional_size = struct.unpack_from('<H', data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from('<I', data, directories + 2 * 8)[0]
    table = optional + optional_size
    found = []
    for i in range(count):
        _, vsize, vaddr, rsize, raddr = struct.unpack_from('<8sIIII', data, table + 40 * i)
        found.append((vaddr, max(vsize, rsize), raddr))
    return resource_rva, found


def resources(path):
    """(type, name, lang, bytes) for each resource; numbers as ints."""
    with open(path, 'rb') as f:
        data = f.read()
    rva, secs = sections(data)
    if not rva:
        return []

    def offset(address):
        for vaddr, size, raddr in secs:
            if vaddr <= address < vaddr + size:
                return raddr + address - vaddr
        raise ValueError('address %#x outside the sections' % address)
    base = offset(rva)

    def entries(dir_offset):
        named, numbered = struct.unpack_from('<HH', data, base + dir_offset + 12)
        for k in range(named + numbered):
            name, target = struct.unpack_from('<II', data, base + dir_offset + 16 + 8 * k)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from('<H', data, at)[0]
                name = data[at + 2:at + 2 + 2 * length].decode('utf-16-le')
            yield name, target

    out = []
    for kind, t in entries(0):
        for name, n in entries(t & 0x7FFFFFFF):
            for lang, leaf in entries(n & 0x7FFFFFFF):
                address, size = struct.unpack_from('<II', data, base + leaf)
                at = offset(address)
                out.append((kind, name, lang, data[at:at + size]))
    return out


def parse_key(text):
    return int(text) if text.isdigit() else text


def main(argv):
    if len(argv) == 2:
        for kind, name, lang, blob in resources(argv[1]):
            print(kind, name, lang, len(blob))
        return 0
    if len(argv) == 4:
        want = (parse_key(argv[2]), parse_key(argv[3]))
        for kind, name, _, blob in resources(argv[1]):
            if (kind, name) == want:
                sys.stdout.buffer.write(blob)
                return 0
        print('no resource %s %s in %s' % (argv[2], argv[3], argv[1]), file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
