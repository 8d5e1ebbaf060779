#!/usr/bin/env python3
"""Makes the loader's small test pictures (tests/common/data) with known pixels.

Each lossless picture is the 4 x 3 pattern pixel(x, y) = (red 60x, green 100y, blue 200), opaque
unless said otherwise. Run it again only to change the fixtures: the files are committed.
JPEG files need cjpeg (libjpeg-turbo-progs)."""
import os
import struct
import subprocess
import sys
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
W, H = 4, 3


def pattern(x, y):
    return (60 * x, 100 * y, 200)


def save(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


# ---- PNG
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, color_type, rows, extra=b"", depth=8):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, color_type, 0, 0, 0)
    raw = b"".join(b"\0" + r for r in rows)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def make_png():
    rows = [bytes(v for x in range(W) for v in (*pattern(x, y), 255 - 80 * x)) for y in range(H)]
    save("rgba.png", png(W, H, 6, rows))
    # Palette with a transparent entry 0: row y uses entries (x + y) % 3.
    plte = bytes([0, 0, 0, 255, 0, 0, 0, 255, 0])
    trns = bytes([0])
    rows = [bytes((x + y) % 3 for x in range(W)) for y in range(H)]
    save("palette.png", png(W, H, 3, rows, chunk(b"PLTE", plte) + chunk(b"tRNS", trns)))
    # Only a header: 20000 x 20000 pixels.
    save("huge.png", b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 20000, 20000, 8, 2, 0, 0, 0)) +
         chunk(b"IDAT", zlib.compress(b"\0" * 64)) + chunk(b"IEND", b""))


# ---- BMP
def bmp(width, height, bpp, pixel_rows, palette=b"", compression=0, header=40, masks=(), top_down=False):
    """pixel_rows: top row first, each the row's packed bytes without padding."""
    stride = (width * bpp + 31) // 32 * 4
    rows = [r + b"\0" * (stride - len(r)) for r in pixel_rows]
    if not top_down:
        rows = rows[::-1]
    bits = b"".join(rows)
    if header == 40:
        info = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bpp, compression,
                           len(bits), 2835, 2835, len(palette) // 4, 0) + b"".join(struct.pack("<I", m) for m in masks)
    else:  # the fifth version, masks in the header
        m = list(masks) + [0] * (4 - len(masks))
        info = struct.pack("<IiiHHIIiiII", header, width, -height if top_down else height, 1, bpp, compression,
                           len(bits), 2835, 2835, 0, 0) + struct.pack("<IIII", *m) + b"sRGB" + b"\0" * (header - 60)
    offset = 14 + len(info) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(bits), 0, 0, offset) + info + palette + bits


def make_bmp():
    rows24 = [bytes(v for x in range(W) for v in reversed(pattern(x, y))) for y in range(H)]
    save("rgb24.bmp", bmp(W, H, 24, rows24))
    save("rgb24_topdown.bmp", bmp(W, H, 24, rows24, top_down=True))
    rows32 = [bytes(v for x in range(W) for v in (*reversed(pattern(x, y)), 0)) for y in range(H)]
    save("rgb32.bmp", bmp(W, H, 32, rows32))  # fourth byte 0 everywhere: opaque
    rows32a = [bytes(v for x in range(W) for v in (*reversed(pattern(x, y)), 255 - 80 * x)) for y in range(H)]
    save("argb32_v5.bmp", bmp(W, H, 32, rows32a, compression=3, header=124,
                              masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000)))
    # 16 bits, 5-6-5 masks after the header: pure channel values so that widening is exact.
    def p565(r, g, b):
        return struct.pack("<H", (r << 11) | (g << 5) | b)
    rows16 = [p565(31, 0, 0) + p565(0, 63, 0) + p565(0, 0, 31) + p565(31, 63, 31) for _ in range(H)]
    save("rgb565.bmp", bmp(W, H, 16, rows16, compression=3, masks=(0xF800, 0x07E0, 0x001F)))
    # Palettes: entry i is (blue 10i, green 20i, red 30i); pixel (x, y) uses entry (x + y) % n.
    def pal(n):
        return b"".join(bytes([10 * i, 20 * i, 30 * i, 0]) for i in range(n))
    def packed(bpp, n):
        rows = []
        for y in range(H):
            bits = "".join(format((x + y) % n, "0%db" % bpp) for x in range(W))
            bits += "0" * (-len(bits) % 8)
            rows.append(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))
        return rows
    save("pal1.bmp", bmp(W, H, 1, packed(1, 2), pal(2)))
    save("pal4.bmp", bmp(W, H, 4, packed(4, 5), pal(5)))
    save("pal8.bmp", bmp(W, H, 8, packed(8, 7), pal(7)))
    save("huge.bmp", bmp(20000, 20000, 24, [])[:54])


# ---- GIF: LZW with a clear code before every pixel keeps every code at its starting width.
def lzw(indices, min_size):
    clear, end, width = 1 << min_size, (1 << min_size) + 1, min_size + 1
    codes = []
    for i in indices:
        codes += [clear, i]
    codes.append(end)
    acc = nbits = 0
    out = bytearray()
    for c in codes:
        acc |= c << nbits
        nbits += width
        while nbits >= 8:
            out.append(acc & 255)
            acc >>= 8
            nbits -= 8
    if nbits:
        out.append(acc)
    blocks = b"".join(bytes([len(out[i:i + 255])]) + out[i:i + 255] for i in range(0, len(out), 255))
    return bytes([min_size]) + blocks + b"\0"


def gif(frames, screen=(W, H)):
    table = bytes([0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255])  # black, red, green, blue
    head = b"GIF89a" + struct.pack("<HHBBB", screen[0], screen[1], 0x81, 0, 0) + table
    body = b""
    for (left, top, w, h, transparent, interlace, indices) in frames:
        if transparent is not None:
            body += b"\x21\xF9\x04" + bytes([1, 0, 0, transparent, 0])
        body += b"\x2C" + struct.pack("<HHHHB", left, top, w, h, 0x40 if interlace else 0) + lzw(indices, 2)
    return head + body + b"\x3B"


def make_gif():
    first = [(x + y) % 4 for y in range(H) for x in range(W)]
    second = [1] * (W * H)
    save("two_frames.gif", gif([(0, 0, W, H, 0, False, first), (0, 0, W, H, None, False, second)]))
    # A 2 x 3 picture at (1, 0) on the 4 x 3 screen, interlaced: rows stored in the order 0, 2, 1.
    # Its rows read 1 2 / 2 1 / 3 3.
    save("offset_interlaced.gif", gif([(1, 0, 2, 3, None, True, [1, 2, 3, 3, 2, 1])]))
    save("huge.gif", gif([(0, 0, 1, 1, None, False, [1])], screen=(20000, 20000)))


# ---- JPEG through cjpeg, from a 16 x 16 picture of one colour.
def make_jpeg():
    ppm = b"P6\n16 16\n255\n" + bytes([200, 40, 90]) * 256
    pgm = b"P5\n16 16\n255\n" + bytes([120]) * 256
    save("solid.jpg", subprocess.run(["cjpeg", "-quality", "95"], input=ppm, capture_output=True, check=True).stdout)
    save("gray_progressive.jpg",
         subprocess.run(["cjpeg", "-progressive", "-grayscale"], input=pgm, capture_output=True, check=True).stdout)
    data = bytearray(open(os.path.join(OUT, "solid.jpg"), "rb").read())
    sof = data.find(b"\xFF\xC0")
    struct.pack_into(">HH", data, sof + 5, 20000, 20000)  # height, width
    save("huge.jpg", bytes(data))


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    make_png()
    make_bmp()
    make_gif()
    make_jpeg()
    sys.exit(0)
