#!/usr/bin/env python3
"""Draws the sample package's skin pictures (examples/package/Pictures) with nothing but the
standard library: the background with see-through rounded corners, the logo, the Start and Manual
buttons (normal and pointer-over, English and Chinese names), the window buttons and the two
printer pictures. Run it again after changing the art; the PNGs are committed."""

import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "package", "Pictures")
KEY = (178, 28, 118)  # the window's see-through colour

# A 5 x 7 font for the few letters the art needs.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "-": ["00000", "00000", "00000", "11111", "00000", "00000", "00000"],
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    "2": ["01110", "10001", "00001", "00010", "00100", "01000", "11111"],
    " ": ["00000"] * 7,
}


class Canvas:
    def __init__(self, w, h, fill=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.px = [list(fill) for _ in range(w * h)]

    def put(self, x, y, rgba):
        if 0 <= x < self.w and 0 <= y < self.h:
            r, g, b, a = rgba
            d = self.px[y * self.w + x]
            if a >= 255 or d[3] == 0:
                self.px[y * self.w + x] = [r, g, b, a]
                return
            k = a / 255.0
            self.px[y * self.w + x] = [round(r * k + d[0] * (1 - k)), round(g * k + d[1] * (1 - k)),
                                       round(b * k + d[2] * (1 - k)), max(a, d[3])]

    def rounded(self, x0, y0, x1, y1, radius, colour_at):
        for y in range(y0, y1):
            for x in range(x0, x1):
                dx = max(x0 + radius - x - 0.5, 0, x - (x1 - radius) + 0.5)
                dy = max(y0 + radius - y - 0.5, 0, y - (y1 - radius) + 0.5)
                if dx * dx + dy * dy <= radius * radius:
                    self.put(x, y, colour_at(x, y))

    def text(self, s, cx, cy, scale, rgba):
        width = len(s) * 6 * scale - scale
        x = cx - width // 2
        y = cy - 7 * scale // 2
        for ch in s:
            for row, bits in enumerate(FONT[ch]):
                for col, bit in enumerate(bits):
                    if bit == "1":
                        for i in range(scale):
                            for j in range(scale):
                                self.put(x + col * scale + i, y + row * scale + j, rgba)
            x += 6 * scale

    def save(self, name):
        raw = b"".join(b"\0" + bytes(c for p in self.px[y * self.w:(y + 1) * self.w] for c in p)
                       for y in range(self.h))

        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

        png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(png)


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def background():
    c = Canvas(790, 515, KEY + (255,))
    top, bottom = (176, 200, 236), (236, 240, 245)

    def colour(x, y):
        if y < 110:  # light, so that the window's title reads well on it
            return mix((226, 236, 250), top, y / 110) + (255,)
        return mix((250, 251, 253), bottom, (y - 110) / 405) + (255,)

    c.rounded(0, 0, 790, 515, 14, colour)
    c.rounded(10, 120, 312, 400, 8, lambda x, y: (255, 255, 255, 170))  # behind the lists
    c.save("back.png")


def logo():
    c = Canvas(144, 58)
    c.text("KELVANE", 72, 29, 3, (24, 70, 128, 255))
    c.save("logo.png")


def button(name, w, h, label, base, icon):
    for state, light in (("1", 0.0), ("2", 0.25)):
        c = Canvas(w, h)
        top = mix(base, (255, 255, 255), 0.35 + light)
        c.rounded(0, 0, w, h, h // 3, lambda x, y: mix(top, base, y / h) + (255,))
        if icon:  # a triangle pointing right, before the label
            for y in range(h // 2 - 10, h // 2 + 11):
                for x in range(22, 22 + (10 - abs(y - h // 2))):
                    c.put(x, y, (255, 255, 255, 255))
        for suffix, text in (("EN", label), ("", label)):
            c2 = Canvas(w, h)
            c2.px = [p[:] for p in c.px]
            c2.text(text, w // 2 + (10 if icon else 0), h // 2, 3 if h > 50 else 2, (255, 255, 255, 255))
            c2.save(f"{name}{state}{suffix}.png")


def window_button(name, glyph):
    for state, colour in (("1", (60, 90, 140)), ("2", (200, 60, 60) if glyph == "x" else (90, 130, 190))):
        c = Canvas(32, 32)
        c.rounded(2, 2, 30, 30, 14, lambda x, y: colour + (255,))
        for i in range(9, 23):
            if glyph == "x":
                for d in (0, 1):
                    c.put(i + d, i, (255, 255, 255, 255))
                    c.put(31 - i - d, i, (255, 255, 255, 255))
            else:
                for d in (0, 1, 2):
                    c.put(i, 20 + d, (255, 255, 255, 255))
        c.save(f"{name}{state}.png")


def printer(name, body, label):
    c = Canvas(448, 247)
    c.rounded(120, 20, 328, 80, 6, lambda x, y: (250, 250, 250, 255))  # paper
    c.rounded(40, 70, 408, 200, 18, lambda x, y: mix(mix(body, (255, 255, 255), 0.3), body, (y - 70) / 130) + (255,))
    c.rounded(100, 150, 348, 175, 4, lambda x, y: (40, 40, 40, 255))  # paper exit
    c.rounded(330, 90, 390, 110, 4, lambda x, y: (90, 200, 90, 255))  # panel
    c.text(label, 160, 110, 3, (255, 255, 255, 255))
    c.rounded(60, 198, 388, 212, 6, lambda x, y: (0, 0, 0, 60))  # shadow
    c.save(name)


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    background()
    logo()
    button("Start", 192, 72, "START", (30, 140, 70), True)
    button("Manual", 136, 38, "MANUAL", (40, 90, 170), False)
    window_button("min", "_")
    window_button("Close", "x")
    printer("kv1000.png", (70, 80, 95), "KV-1000")
    printer("kv2000.png", (35, 75, 130), "KV-2000")
