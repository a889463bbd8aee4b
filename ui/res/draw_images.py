#!/usr/bin/env python3
"""Draws the updater's images: glyphs 0-3 (32 x 32 RGBA PNG), the emblem (256 x 256 RGBA
PNG) and MAINICON (nine sizes, the 256-pixel one stored as PNG). Standard library only.

Regenerate from the repository root:  python3 ui/res/draw_images.py ui/res
"""
import math
import struct
import sys
import zlib
from pathlib import Path


def png(width, height, rgba):
    rows = b"".join(b"\0" + bytes(rgba[y * width * 4:(y + 1) * width * 4]) for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def render(size, paint, samples=4):
    """paint(u, v) -> (r, g, b, a) with u, v in [0, 1); supersampled, straight alpha out."""
    out = bytearray(size * size * 4)
    step = 1.0 / (size * samples)
    for y in range(size):
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = paint((x * samples + sx + 0.5) * step, (y * samples + sy + 0.5) * step)
                    acc[0] += r * a; acc[1] += g * a; acc[2] += b * a; acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            i = (y * size + x) * 4
            if alpha > 0:
                out[i:i + 3] = bytes(min(255, round(255 * c / acc[3])) for c in acc[:3])
            out[i + 3] = min(255, round(alpha * 255))
    return out


def over(layers):
    """Composites (inside(u, v), colour) layers, the last on top."""
    def paint(u, v):
        r = g = b = a = 0.0
        for inside, (cr, cg, cb) in layers:
            if inside(u, v):
                r, g, b, a = cr, cg, cb, 1.0
        return r, g, b, a
    return paint


def disc(cx, cy, radius):
    return lambda u, v: (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2


def ring(cx, cy, inner, outer, start=0.0, end=360.0):
    def inside(u, v):
        d = math.hypot(u - cx, v - cy)
        angle = math.degrees(math.atan2(cy - v, u - cx)) % 360
        within = start <= angle <= end if start <= end else angle >= start or angle <= end
        return inner <= d <= outer and within
    return inside


def segment(x0, y0, x1, y1, half_width):
    def inside(u, v):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((u - x0) * dx + (v - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(u - x0 - t * dx, v - y0 - t * dy) <= half_width
    return inside


def triangle(p0, p1, p2):
    def side(a, b, u, v):
        return (b[0] - a[0]) * (v - a[1]) - (b[1] - a[1]) * (u - a[0])

    def inside(u, v):
        s0, s1, s2 = side(p0, p1, u, v), side(p1, p2, u, v), side(p2, p0, u, v)
        return (s0 >= 0 and s1 >= 0 and s2 >= 0) or (s0 <= 0 and s1 <= 0 and s2 <= 0)
    return inside


def box(left, top, right, bottom):
    return lambda u, v: left <= u <= right and top <= v <= bottom


def any_of(*shapes):
    return lambda u, v: any(s(u, v) for s in shapes)


GREEN, DARK_GREEN, WHITE = (0.15, 0.72, 0.2), (0.05, 0.5, 0.1), (1.0, 1.0, 1.0)
RED, DARK_RED, BLACK = (0.9, 0.12, 0.1), (0.6, 0.05, 0.05), (0.1, 0.1, 0.1)
YELLOW, DARK_YELLOW, BLUE, LIGHT_BLUE = (1.0, 0.82, 0.2), (0.85, 0.6, 0.05), (0.1, 0.3, 0.85), (0.45, 0.7, 1.0)

CHECK = over([
    (disc(0.5, 0.5, 0.47), DARK_GREEN),
    (disc(0.5, 0.5, 0.42), GREEN),
    (any_of(segment(0.27, 0.52, 0.43, 0.68, 0.06), segment(0.43, 0.68, 0.74, 0.33, 0.06)), WHITE),
])

RELOAD = over([
    (ring(0.5, 0.5, 0.26, 0.4, 110, 40), GREEN),
    (triangle((0.56, 0.12), (0.9, 0.3), (0.6, 0.46)), GREEN),
])

CLOCK = over([
    (disc(0.22, 0.2, 0.14), DARK_RED),
    (disc(0.78, 0.2, 0.14), DARK_RED),
    (any_of(segment(0.3, 0.8, 0.18, 0.95, 0.05), segment(0.7, 0.8, 0.82, 0.95, 0.05)), DARK_RED),
    (disc(0.5, 0.55, 0.38), RED),
    (disc(0.5, 0.55, 0.29), WHITE),
    (any_of(segment(0.5, 0.55, 0.5, 0.34, 0.035), segment(0.5, 0.55, 0.66, 0.63, 0.035)), BLACK),
])

FOLDER = over([
    (box(0.06, 0.2, 0.4, 0.3), DARK_YELLOW),
    (box(0.06, 0.27, 0.78, 0.88), DARK_YELLOW),
    (box(0.08, 0.36, 0.76, 0.86), YELLOW),
    (segment(0.42, 0.62, 0.8, 0.3, 0.07), BLUE),
    (triangle((0.64, 0.16), (0.98, 0.12), (0.92, 0.46)), BLUE),
])


def emblem(u, v):
    layers = [
        (ring(0.5, 0.5, 0.4, 0.47, 20, 160), BLUE),
        (triangle((0.03, 0.5), (0.18, 0.34), (0.26, 0.5)), BLUE),
        (ring(0.5, 0.5, 0.4, 0.47, 200, 340), BLUE),
        (triangle((0.97, 0.5), (0.82, 0.66), (0.74, 0.5)), BLUE),
        (disc(0.5, 0.5, 0.34), BLUE),
        (disc(0.5, 0.5, 0.31), LIGHT_BLUE),
        (lambda a, b: (a - 0.5) ** 2 + (b - 0.5) ** 2 <= 0.31 ** 2 and (
            abs(a - 0.5) < 0.012 or abs(b - 0.5) < 0.012 or abs(b - 0.34) < 0.01
            or abs(b - 0.66) < 0.01
            or abs(math.hypot((a - 0.5) / 0.15, (b - 0.5) / 0.31) - 1) < 0.04), BLUE),
    ]
    return over(layers)(u, v)


def ico(entries):
    """entries: list of (size, rgba bytes); the 256-pixel image goes in as PNG."""
    images = []
    for size, rgba in entries:
        if size == 256:
            images.append(png(size, size, rgba))
            continue
        mask_stride = ((size + 31) // 32) * 4
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                             size * size * 4 + mask_stride * size, 0, 0, 0, 0)
        pixels = bytearray()
        for y in reversed(range(size)):
            for x in range(size):
                r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
                pixels += bytes((b, g, r, a))
        images.append(header + bytes(pixels) + bytes(mask_stride * size))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for (size, _), data in zip(entries, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    return directory + body


def main(folder):
    out = Path(folder)
    for index, paint in enumerate((CHECK, RELOAD, CLOCK, FOLDER)):
        (out / f"glyph{index}.png").write_bytes(png(32, 32, render(32, paint)))
    big = render(256, emblem, 2)
    (out / "emblem.png").write_bytes(png(256, 256, big))
    sizes = (16, 24, 32, 48, 64, 96, 128, 192, 256)
    entries = [(s, big if s == 256 else render(s, emblem, 4 if s <= 64 else 2)) for s in sizes]
    (out / "mainicon.ico").write_bytes(ico(entries))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent)
