#!/usr/bin/env python3
"""Writes a sample firmware image and a sample EEPROM data file.

    make_samples.py OUTDIR [--eeprom-blocks N]

OUTDIR/sample.zel       50,182 bytes: "ZEL", 49,152 code bytes, "LEZ",
                        1,024 EEPROM bytes (what brannik loads)
OUTDIR/zel_eeprom.dat   N x 128 bytes (default 32 blocks, 4,096 bytes; what
                        vessamo loads from its working directory)

The contents are fixed (a seeded xorshift generator, no randomness from the
system), so two runs give identical files and a device image saved by devsim
can be compared with them byte for byte. The bytes cover all 256 values, so
a tool that mangles any value (text-mode reads, sign errors, whitening
mistakes) shows up as a mismatch.
"""
import argparse
import os
import sys

CODE_BYTES = 49152       # code image in a .zel file
EEPROM_BYTES = 1024      # EEPROM image in a .zel file
BLOCK_BYTES = 128        # one EEPROM write block of zel_eeprom.dat
MAX_BLOCKS = 2048        # blocks with distinct EEPROM addresses


def stream(seed, n):
    """n bytes from a 32-bit xorshift generator started at SEED."""
    x = seed & 0xFFFFFFFF
    out = bytearray(n)
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def zel_image():
    code = stream(0x5A454C31, CODE_BYTES)
    eeprom = stream(0x45455052, EEPROM_BYTES)
    return b'ZEL' + code + b'LEZ' + eeprom


def split_zel(data):
    """(code, eeprom) of a .zel image."""
    return data[3:3 + CODE_BYTES], data[6 + CODE_BYTES:]


def eeprom_data(blocks):
    return stream(0x44415431 + blocks, blocks * BLOCK_BYTES)


def main():
    p = argparse.ArgumentParser(description='Write sample.zel and zel_eeprom.dat.')
    p.add_argument('outdir')
    p.add_argument('--eeprom-blocks', type=int, default=32,
                   help='128-byte blocks in zel_eeprom.dat (0..%d, default 32)' % MAX_BLOCKS)
    args = p.parse_args()
    if not 0 <= args.eeprom_blocks <= MAX_BLOCKS:
        p.error('--eeprom-blocks must be 0..%d' % MAX_BLOCKS)
    os.makedirs(args.outdir, exist_ok=True)
    zel = zel_image()
    assert len(zel) == 50182
    with open(os.path.join(args.outdir, 'sample.zel'), 'wb') as f:
        f.write(zel)
    with open(os.path.join(args.outdir, 'zel_eeprom.dat'), 'wb') as f:
        f.write(eeprom_data(args.eeprom_blocks))
    print('wrote %s (50182 bytes) and %s (%d bytes)' % (
        os.path.join(args.outdir, 'sample.zel'), os.path.join(args.outdir, 'zel_eeprom.dat'),
        args.eeprom_blocks * BLOCK_BYTES))
    return 0


if __name__ == '__main__':
    sys.exit(main())
