#!/usr/bin/env python3
"""Draws Quarvel's artwork and writes it as Windows icon and cursor files and as the PNG images of the
desktop icon theme (standard library only).

    scripts/make-icon.py [output folder [theme folder]]   (defaults: resources/, packaging/icons/hicolor/)

Writes
  Quarvel.ico   the application icon: 32x32 at 24 bits, then 256x256, 128x128 and 48x48 at 32 bits,
                in that order, each an uncompressed DIB with its AND mask;
  HAND-M.CUR    a 32x32 pointing hand at 32 bits, hot spot on the tip of the index finger;
  <N>x<N>/apps/quarvel.png in the theme folder, for N = 16, 32, 48, 64, 128, 256: the same artwork for
                the desktop's menus and launchers (the Debian package installs them into hicolor).

The output is deterministic: running the script again gives the same bytes, so the committed files can
be checked against it.
"""

import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------------------------------------- drawing


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def over(dst, src):
    """Source-over compositing of straight-alpha RGBA tuples with components in 0..1."""
    sa = src[3]
    da = dst[3]
    out_a = sa + da * (1 - sa)
    if out_a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    rgb = tuple((src[i] * sa + dst[i] * da * (1 - sa)) / out_a for i in range(3))
    return rgb + (out_a,)


def rounded_box(x, y, cx, cy, hw, hh, r):
    """Signed distance to a rounded rectangle (negative inside)."""
    qx = abs(x - cx) - hw + r
    qy = abs(y - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - r


def ellipse_inside(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


TILE_TOP = (0.13, 0.42, 0.62)
TILE_BOTTOM = (0.07, 0.24, 0.40)
DISK_LIGHT = (0.96, 0.97, 0.98)
DISK_SHADE = (0.74, 0.80, 0.86)
DISK_LINE = (0.45, 0.55, 0.65)
LENS_RING = (0.95, 0.61, 0.07)
LENS_HANDLE = (0.80, 0.42, 0.02)


def sample(x, y):
    """The colour of the artwork at (x, y), both in 0..1, as straight-alpha RGBA."""
    colour = (0.0, 0.0, 0.0, 0.0)

    # Tile with a vertical gradient.
    if rounded_box(x, y, 0.5, 0.5, 0.47, 0.47, 0.13) <= 0:
        colour = over(colour, mix(TILE_TOP, TILE_BOTTOM, y) + (1.0,))

    # The database: a cylinder of three stacked disks.
    cx, rx, ry = 0.42, 0.23, 0.075
    top, bottom = 0.20, 0.68
    in_body = abs(x - cx) <= rx and top <= y <= bottom
    if in_body or ellipse_inside(x, y, cx, bottom, rx, ry) or ellipse_inside(x, y, cx, top, rx, ry):
        shade = mix(DISK_LIGHT, DISK_SHADE, abs(x - cx) / rx)
        colour = over(colour, shade + (1.0,))
        for band in (top + (bottom - top) / 3, top + 2 * (bottom - top) / 3):
            # The lower rim of each band: the bottom half of an ellipse, drawn as a thin line.
            if y >= band and abs(x - cx) <= rx:
                rim = band + ry * math.sqrt(max(0.0, 1 - ((x - cx) / rx) ** 2))
                if abs(y - rim) <= 0.012:
                    colour = over(colour, DISK_LINE + (1.0,))
        if ellipse_inside(x, y, cx, top, rx, ry):
            colour = over(colour, DISK_LIGHT + (1.0,))
            if not ellipse_inside(x, y, cx, top, rx - 0.018, ry - 0.014):
                colour = over(colour, DISK_LINE + (1.0,))

    # The magnifying glass: handle, tinted lens, ring.
    gx, gy = 0.64, 0.62
    if segment_distance(x, y, gx + 0.13, gy + 0.13, 0.88, 0.87) <= 0.05:
        colour = over(colour, LENS_HANDLE + (1.0,))
    d = math.hypot(x - gx, y - gy)
    if d <= 0.125:
        colour = over(colour, (0.85, 0.95, 1.0, 0.45))
    if 0.125 < d <= 0.18:
        colour = over(colour, LENS_RING + (1.0,))
    return colour


def render(size):
    """The artwork at size x size pixels, supersampled, as rows of (r, g, b, a) bytes, top row first."""
    grid = 4 if size <= 64 else 3
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(grid):
                for sx in range(grid):
                    r, g, b, a = sample((px + (sx + 0.5) / grid) / size, (py + (sy + 0.5) / grid) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = grid * grid
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [acc[i] / acc[3] for i in range(3)]
            else:
                rgb = [0.0, 0.0, 0.0]
            row.append(tuple(int(round(max(0.0, min(1.0, v)) * 255)) for v in rgb + [alpha]))
        rows.append(row)
    return rows


# The pointing hand, one character a pixel: X outline, o fill, . transparent.
HAND = """\
..........XX....................
.........XooX...................
.........XooX...................
.........XooX...................
.........XooX...................
.........XooXXX.................
.........XooXooXXX..............
.........XooXooXooXX............
.....XX..XooXooXooXoX...........
....XooX.XooXooXooXooX..........
....XoooXXooooooooXooX..........
.....XoooXoooooooooooX..........
......XooXoooooooooooX..........
......XoooooooooooooooX.........
.......XooooooooooooooX.........
.......XoooooooooooooX..........
........XooooooooooooX..........
........XooooooooooooX..........
.........XooooooooooX...........
.........XooooooooooX...........
.........XXXXXXXXXXXX...........
................................
................................
................................
................................
................................
................................
................................
................................
................................
................................
................................"""
HAND_HOT_SPOT = (10, 0)


def hand_rows():
    palette = {"X": (0, 0, 0, 255), "o": (255, 255, 255, 255), ".": (0, 0, 0, 0)}
    rows = [[palette[c] for c in line] for line in HAND.splitlines()]
    assert len(rows) == 32 and all(len(r) == 32 for r in rows)
    return rows


# ---------------------------------------------------------------------------------------------- files


def dib(rows, bits):
    """An icon image: BITMAPINFOHEADER, XOR bitmap bottom-up (24 or 32 bits), 1-bit AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, a in row:
            if bits == 32:
                line += bytes((b, g, r, a))
            else:
                # 24 bits carry no alpha: transparent pixels are black, the mask hides them.
                line += bytes((b, g, r)) if a >= 128 else b"\0\0\0"
        while len(line) % 4:
            line.append(0)
        pixels += line
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray((size + 31) // 32 * 4)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def write_icon_file(path, images, kind, hot_spots=None):
    """kind 1: icon (planes, bit count in the entry); kind 2: cursor (hot spot in the entry)."""
    count = len(images)
    out = bytearray(struct.pack("<HHH", 0, kind, count))
    offset = 6 + 16 * count
    blobs = []
    for i, (rows, bits) in enumerate(images):
        blob = dib(rows, bits)
        size = len(rows)
        dim = 0 if size >= 256 else size
        if kind == 1:
            a, b = 1, bits
        else:
            a, b = hot_spots[i]
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, a, b, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    for blob in blobs:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


def write_png(path, rows):
    """An 8-bit RGBA PNG without ancillary chunks, so that the bytes depend on the pixels only."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


THEME_SIZES = (16, 32, 48, 64, 128, 256)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    theme = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "packaging", "icons", "hicolor")
    os.makedirs(folder, exist_ok=True)
    renders = {size: render(size) for size in sorted(set(THEME_SIZES) | {32, 48, 128, 256})}
    images = [(renders[32], 24), (renders[256], 32), (renders[128], 32), (renders[48], 32)]
    write_icon_file(os.path.join(folder, "Quarvel.ico"), images, 1)
    write_icon_file(os.path.join(folder, "HAND-M.CUR"), [(hand_rows(), 32)], 2, [HAND_HOT_SPOT])
    for size in THEME_SIZES:
        apps = os.path.join(theme, "%dx%d" % (size, size), "apps")
        os.makedirs(apps, exist_ok=True)
        write_png(os.path.join(apps, "quarvel.png"), renders[size])


if __name__ == "__main__":
    main()
