#!/usr/bin/python3
"""Draws Quillmere's icon, a white Wi-Fi fan on a blue tile with a green tick, and writes it as a
Windows .ico with the eight images the program ships: 32 and 16 pixels at 4 bits per pixel,
48, 32 and 16 at 8 bits, 48, 32 and 16 at 32 bits.

    tools/make_icon.py settings_tool/quillmere.ico

The output depends on nothing but this script, so it is the same bytes every time."""
import math
import struct
import sys

BLUE = (30, 90, 160)
WHITE = (255, 255, 255)
GREEN = (40, 170, 70)

# The 16 colours of the standard 4-bit palette.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
         (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
         (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def shade(u, v):
    """Colour and coverage of the design at (u, v), both 0..1 with v going down."""
    inside_tile = abs(u - 0.5) < 0.46 and abs(v - 0.5) < 0.46
    corner = max(abs(u - 0.5) - 0.34, 0) ** 2 + max(abs(v - 0.5) - 0.34, 0) ** 2 > 0.12 ** 2
    if not inside_tile or corner:
        return None
    dx, dy = u - 0.42, v - 0.78
    r = math.hypot(dx, dy)
    angle = math.degrees(math.atan2(-dy, dx))
    if r < 0.075:
        return WHITE
    if 45 < angle < 135 and any(abs(r - ring) < 0.05 for ring in (0.22, 0.38, 0.54)):
        return WHITE
    # The tick, lower right.
    for (x0, y0, x1, y1) in ((0.64, 0.66, 0.72, 0.76), (0.72, 0.76, 0.88, 0.54)):
        t = max(0.0, min(1.0, ((u - x0) * (x1 - x0) + (v - y0) * (y1 - y0)) / ((x1 - x0) ** 2 + (y1 - y0) ** 2)))
        if math.hypot(u - (x0 + t * (x1 - x0)), v - (y0 + t * (y1 - y0))) < 0.045:
            return GREEN
    return BLUE


def render(size):
    """Rows of (r, g, b, a), top row first, 4x4 supersampled."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            samples = [shade((x + (i + 0.5) / 4) / size, (y + (j + 0.5) / 4) / size) for i in range(4) for j in range(4)]
            hits = [s for s in samples if s is not None]
            if not hits:
                row.append((0, 0, 0, 0))
                continue
            r, g, b = (round(sum(c[k] for c in hits) / len(hits)) for k in range(3))
            row.append((r, g, b, round(255 * len(hits) / len(samples))))
        rows.append(row)
    return rows


def nearest(palette, rgb):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))


def and_mask(rows):
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap(rows, bits):
    size = len(rows)
    if bits == 32:
        palette = []
        pixels = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    else:
        palette = VGA16 if bits == 4 else VGA16 + sorted({p[:3] for row in rows for p in row} - set(VGA16))[:240]
        palette = palette + [(0, 0, 0)] * ((1 << bits) - len(palette))
        stride = ((size * bits + 31) // 32) * 4
        pixels = bytearray()
        for row in reversed(rows):
            line = bytearray(stride)
            for x, px in enumerate(row):
                index = nearest(palette, px[:3]) if px[3] >= 128 else 0
                if bits == 8:
                    line[x] = index
                else:
                    line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            pixels += line
        pixels = bytes(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, len(palette), 0)
    colours = b"".join(bytes((c[2], c[1], c[0], 0)) for c in palette)
    return header + colours + pixels + and_mask(rows), len(palette)


def main(path):
    images = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]
    rendered = {size: render(size) for size in {s for s, _ in images}}
    blobs = [bitmap(rendered[size], bits) for size, bits in images]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), (blob, colours) in zip(images, blobs):
        data += struct.pack("<BBBBHHII", size, size, colours if colours < 256 else 0, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    data += b"".join(blob for blob, _ in blobs)
    with open(path, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "settings_tool/quillmere.ico")
