#!/usr/bin/env python3
"""Draws a tool's icon and writes it as a Windows .ico.

Usage: make_icon.py brannik|vessamo OUT.ico [--preview OUT.png]

Both icons are a chip seen from above (a body with pins on two sides); what
sits on the chip tells the tools apart even at 16 pixels: brannik, the
firmware flasher, a yellow lightning bolt on a dark body; vessamo, the
EEPROM writer, a white "E" on a blue body. The drawing is a list of shapes
in a unit square, rendered with supersampling at each size. Sizes 16 to 128
are 32-bit DIBs with an AND mask (Windows XP reads those), 256 is PNG
(Vista and later). --preview writes the 16, 32, 48 and 128 pixel images
side by side on a light background, for the README.

The output depends only on this file: the same bytes on every run.
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)


def rect(x0, y0, x1, y1, r=0.0):
    """A rectangle with corners rounded by r, as an inside test."""
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return (x0, y0, x1, y1), inside


def polygon(points):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]

    def inside(x, y):
        hit = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return (min(xs), min(ys), max(xs), max(ys)), inside


def chip(body, pin):
    """Body and four pins a side, left and right."""
    shapes = []
    for k in range(4):
        y = 0.2 + k * 0.19
        shapes.append((pin, rect(0.04, y, 0.2, y + 0.09)))
        shapes.append((pin, rect(0.8, y, 0.96, y + 0.09)))
    shapes.append((body, rect(0.14, 0.08, 0.86, 0.92, 0.08)))
    return shapes


PIN = (0xB8, 0xBE, 0xC6, 0xFF)

DRAWINGS = {
    'brannik': chip((0x2B, 0x33, 0x3D, 0xFF), PIN) + [
        ((0xFF, 0xC4, 0x1A, 0xFF),
         polygon([(0.58, 0.12), (0.28, 0.55), (0.47, 0.55), (0.38, 0.88), (0.72, 0.42), (0.52, 0.42), (0.62, 0.12)])),
    ],
    'vessamo': chip((0x1F, 0x5F, 0xBF, 0xFF), PIN) + [
        ((0xFF, 0xFF, 0xFF, 0xFF), rect(0.32, 0.22, 0.45, 0.78)),
        ((0xFF, 0xFF, 0xFF, 0xFF), rect(0.32, 0.22, 0.68, 0.34)),
        ((0xFF, 0xFF, 0xFF, 0xFF), rect(0.32, 0.44, 0.62, 0.56)),
        ((0xFF, 0xFF, 0xFF, 0xFF), rect(0.32, 0.66, 0.68, 0.78)),
    ],
}


def render(shapes, size):
    """Rows of straight-alpha RGBA pixels, top row first."""
    n = 4 if size <= 64 else 2  # samples per pixel and axis
    offsets = [(k + 0.5) / n for k in range(n)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for oy in offsets:
                y = (py + oy) / size
                for ox in offsets:
                    x = (px + ox) / size
                    for colour, (box, inside) in reversed(shapes):
                        if box[0] <= x <= box[2] and box[1] <= y <= box[3] and inside(x, y):
                            alpha = colour[3]
                            r += colour[0] * alpha
                            g += colour[1] * alpha
                            b += colour[2] * alpha
                            a += alpha
                            break
            count = n * n
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(a / count)))
        rows.append(row)
    return rows


def dib(rows):
    """A 32-bit DIB for an icon: header of double height, bottom-up pixels
    (BGRA), then the AND mask (1 where fully transparent)."""
    size = len(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + pixels + bytes(mask)


def png(rows):
    height = len(rows)
    width = len(rows[0])
    raw = b''.join(b'\0' + bytes(c for p in row for c in p) for row in rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def ico(images):
    """images: (size, rows) pairs. The .ico file's bytes."""
    blobs = [png(rows) if size >= 256 else dib(rows) for size, rows in images]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for (size, _), blob in zip(images, blobs):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def preview(images, wanted=(16, 32, 48, 128)):
    """The wanted sizes side by side, bottom-aligned, on a light background."""
    pick = [(s, rows) for s, rows in images if s in wanted]
    gap = 12
    height = max(s for s, _ in pick) + 2 * gap
    width = sum(s for s, _ in pick) + gap * (len(pick) + 1)
    back = (0xF2, 0xF2, 0xF2)
    canvas = [[back + (255,) for _ in range(width)] for _ in range(height)]
    x = gap
    for s, rows in pick:
        top = height - gap - s
        for yy, row in enumerate(rows):
            for xx, p in enumerate(row):
                a = p[3] / 255
                canvas[top + yy][x + xx] = tuple(round(p[c] * a + back[c] * (1 - a)) for c in range(3)) + (255,)
        x += s + gap
    return png(canvas)


def main(argv):
    if len(argv) not in (3, 5) or argv[1] not in DRAWINGS or (len(argv) == 5 and argv[3] != '--preview'):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    images = [(size, render(DRAWINGS[argv[1]], size)) for size in SIZES]
    with open(argv[2], 'wb') as f:
        f.write(ico(images))
    if len(argv) == 5:
        with open(argv[4], 'wb') as f:
            f.write(preview(images))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
