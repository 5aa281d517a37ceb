#!/usr/bin/env python3
"""Draw Kestrix's artwork from primitives and write it beside this script.

Standard library only, plus ImageMagick's convert for the one JPEG; fully
deterministic: running it again rewrites the same bytes.

    python3 assets/make-artwork.py

Writes
  kestrix.ico              program icon: 16, 24, 32, 48 (32-bit BMP frames
                           with alpha) and 256 (PNG frame)
  menu-show.bmp, menu-about.bmp, menu-exit.bmp           16x16 menu images
  menu.bmp                 48x16 strip: show, about, exit
  category-virus.bmp, category-danger.bmp,
  category-suspicious.bmp, category-junk.bmp             16x16 list images
  categories.bmp           64x16 strip: virus, danger, suspicious, junk
  glyph-clean.bmp          16x16 glyph for the clean button
  options-picture.jpg      100x175 picture of the options dialog: a baseline
                           JPEG, drawn as a PNG that convert turns into it

The BMPs are 24-bit with magenta (255,0,255) as the transparent colour: load
a strip with LoadImage and add it with ImageList_AddMasked(..., RGB(255,0,255)).

The 16x16 pictures, including the 16x16 icon frame, are drawn pixel by pixel
in the grids below; the larger icon frames are rendered from shapes with
anti-aliased edges, with straight edges snapped to whole pixels.
"""

import math
import os
import struct
import subprocess
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAGENTA = (255, 0, 255)


def hexrgb(h, a=255):
    h = h.lstrip("#")
    return (int(h[0:2], 16), int(h[2:4], 16), int(h[4:6], 16), a)


# --------------------------------------------------------------------------
# Pixel grids
# --------------------------------------------------------------------------

def grid(rows, palette):
    """Turn a list of equal-length strings into rows of RGBA tuples.

    '.' is always transparent; every other character must be in palette."""
    assert len(rows) == 16, len(rows)
    out = []
    for r in rows:
        assert len(r) == 16, repr(r)
        line = []
        for ch in r:
            if ch == ".":
                line.append((0, 0, 0, 0))
            else:
                line.append(hexrgb(palette[ch]) if isinstance(palette[ch], str)
                            else palette[ch])
        out.append(line)
    return out


MENU_SHOW = grid([
    "................",
    ".NNNNNNNNNNNNNN.",
    ".NTTTTTTTTTTTTN.",
    ".NtttttttttwtwN.",
    ".NNNNNNNNNNNNNN.",
    ".NWWWWWWWWWWWWN.",
    ".NWrWggggggggWN.",
    ".NWWWWWWWWWWWWN.",
    ".NWoWggggggWWWN.",
    ".NWWWWWWWWWWWWN.",
    ".NWyWgggggggWWN.",
    ".NWWWWWWWWWWWWN.",
    ".NWsWgggggWWWWN.",
    ".NWWWWWWWWWWWWN.",
    ".NNNNNNNNNNNNNN.",
    "................",
], {
    "N": "#2B4A6B",   # frame
    "T": "#5B9BE0",   # title bar, upper row
    "t": "#3A7BC8",   # title bar, lower row
    "w": "#FFFFFF",   # title bar buttons
    "W": "#FFFFFF",   # client area
    "g": "#8D99A6",   # text lines
    "r": "#D8362F",   # bullets in the category colours
    "o": "#F08A1C",
    "y": "#E8B90C",
    "s": "#8A8F96",
})

MENU_ABOUT = grid([
    "................",
    ".....DDDDDD.....",
    "...DDllllllDD...",
    "..DlllllWWlllD..",
    "..DlllllWWlllD..",
    ".DllllllllllllD.",
    ".DbbbbWWWbbbbbD.",
    ".DbbbbbWWbbbbbD.",
    ".DbbbbbWWbbbbbD.",
    ".DbbbbbWWbbbbbD.",
    ".DbbbbbWWbbbbbD.",
    "..DbbbWWWWbbbD..",
    "..DbbbbbbbbbbD..",
    "...DDbbbbbbDD...",
    ".....DDDDDD.....",
    "................",
], {
    "D": "#1A4F8F",
    "l": "#4C96E0",
    "b": "#2F78C8",
    "W": "#FFFFFF",
})

MENU_EXIT = grid([
    "................",
    ".FFFFFFFFF......",
    ".FPkkkkkkF......",
    ".FPPkkkkkF.G....",
    ".FPPPkkkkF.GG...",
    ".FPPPPkkkF.GGG..",
    ".FPPPPkkkF.GGGG.",
    ".FPPPPGGGGGGGGGG",
    ".FPPhPgggggggggg",
    ".FPPPPkkkF.gggg.",
    ".FPPPPkkkF.ggg..",
    ".FPPPPkkkF.gg...",
    ".FPPPPkkkF.g....",
    ".FPPPkkkkF......",
    ".FFFFFFFFF......",
    "................",
], {
    "F": "#5B3A1E",   # door frame
    "k": "#2A2420",   # dark doorway
    "P": "#B9803F",   # open door leaf
    "h": "#F4D35E",   # knob
    "G": "#37B24D",   # arrow
    "g": "#1F7A30",   # arrow shade
})

CATEGORY_VIRUS = grid([
    "......RRRR......",
    ".RR....kk....RR.",
    ".RR....kk....RR.",
    "...k.DDDDDD.k...",
    "....DrrrrrrD....",
    "...DrHHrrrrrD...",
    "R..DrHrrrrdrD..R",
    "RkkDrrrrrrrrDkkR",
    "RkkDrrrdrrrrDkkR",
    "R..DrrrrrrrrD..R",
    "...DrrrrrrdrD...",
    "....DrrdrrrD....",
    "...k.DDDDDD.k...",
    ".RR....kk....RR.",
    ".RR....kk....RR.",
    "......RRRR......",
], {
    "D": "#7A1010",   # body outline
    "r": "#DC2B2B",   # body
    "H": "#FF8A80",   # highlight
    "d": "#9E1515",   # spots
    "k": "#8C1A1A",   # spike stems
    "R": "#E53935",   # spike knobs
})

CATEGORY_DANGER = grid([
    ".......DD.......",
    "......DOOD......",
    "......DOOD......",
    ".....DOOOOD.....",
    ".....DOKKOD.....",
    "....DOOKKOOD....",
    "....DOOKKOOD....",
    "...DOOOKKOOOD...",
    "...DOOOKKOOOD...",
    "..DOOOOOOOOOOD..",
    "..DOOOOKKOOOOD..",
    ".DOOOOOKKOOOOOD.",
    ".DOOOOOOOOOOOOD.",
    "DOOOOOOOOOOOOOOD",
    "DDDDDDDDDDDDDDDD",
    "................",
], {
    "D": "#9A4A00",
    "O": "#FF9A1F",
    "K": "#2A1A0A",
})

CATEGORY_SUSPICIOUS = grid([
    "................",
    ".....DDDDDD.....",
    "...DDyyyyyyDD...",
    "..DyyyKKKKyyyD..",
    "..DyyKKyyKKyyD..",
    ".DyyyyyyyKKyyyD.",
    ".DyyyyyyKKyyyyD.",
    ".DyyyyyKKyyyyyD.",
    ".DyyyyyKKyyyyyD.",
    ".DyyyyyyyyyyyyD.",
    ".DyyyyyKKyyyyyD.",
    "..DyyyyKKyyyyD..",
    "..DyyyyyyyyyyD..",
    "...DDyyyyyyDD...",
    ".....DDDDDD.....",
    "................",
], {
    "D": "#A07800",
    "y": "#FFD83A",
    "K": "#3A2E00",
})

CATEGORY_JUNK = grid([
    "................",
    "......DDDD......",
    "..DDDDDssDDDDD..",
    "..DLLLLLLLLLLD..",
    "..DDDDDDDDDDDD..",
    "...DgLgLgLgLD...",
    "...DgLgLgLgLD...",
    "...DgLgLgLgLD...",
    "...DgLgLgLgLD...",
    "...DgLgLgLgLD...",
    "...DgLgLgLgLD...",
    "...DgLgLgLgLD...",
    "....DgLgLgLD....",
    "....DDDDDDDD....",
    "................",
    "................",
], {
    "D": "#4A4F55",
    "L": "#C9CED4",
    "g": "#959CA4",
    "s": "#6B7178",
})

GLYPH_CLEAN = grid([
    "...............H",
    "..............Hh",
    ".............Hh.",
    "............Hh..",
    "...........Hh...",
    "..........Hh....",
    "........BHh.....",
    "......YbBB......",
    ".....YYybB......",
    "...yYYyYY.......",
    ".YyYYyYYy.......",
    "YyYYyYYy........",
    "yYYyYYyY........",
    "YYyYYyY.........",
    ".yYYyYY.........",
    "..YyYY..........",
], {
    "h": "#6B4423",   # handle, shade
    "H": "#A8743F",   # handle
    "b": "#7B1E16",   # binding, shade
    "B": "#C0392B",   # binding
    "Y": "#E8C04A",   # bristles
    "y": "#B88A22",   # bristles, shade
})

# The 16x16 icon frame: a shield bearing a USB plug.
ICON_16 = grid([
    "..KKKKKKKKKKKK..",
    ".KLLLLLLBBBBBBK.",
    ".KLLLLLLBBBBBBK.",
    ".KLLLWWWWWWBBBK.",
    ".KLLLWkWWkWBBBK.",
    ".KLLLGGGGGGBBBK.",
    ".KLLLOOOOOOBBBK.",
    ".KLLLOOOOOOBBBK.",
    ".KLLLOOOOOOBBBK.",
    ".KLLLOOOOOOBBBK.",
    ".KLLLOOOOOOBBBK.",
    "..KLLooooooBBK..",
    "..KLLLLLBBBBBK..",
    "...KLLLLBBBBK...",
    "....KKLLBBKK....",
    "......KKKK......",
], {
    "K": "#0A2233",   # outline
    "L": "#1A8CA6",   # shield, lit half (teal)
    "B": "#0F4F7F",   # shield, shaded half (deep blue)
    "W": "#FFFFFF",   # plug shell
    "G": "#B8C7D1",   # plug shell, lower edge
    "k": "#0A2233",   # shell holes
    "O": "#FF9326",   # stick body
    "o": "#C8601A",   # stick body, lower edge
})


# --------------------------------------------------------------------------
# Shape renderer for the larger icon frames
# --------------------------------------------------------------------------

class Canvas:
    """Premultiplied RGBA floats, 0..1."""

    def __init__(self, size):
        self.size = size
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def fill(self, dist, paint, bbox=None):
        """Paint where dist(x, y) <= 0, with a one-pixel anti-aliased edge.

        dist is a signed distance in pixels, evaluated at pixel centres;
        paint(x, y) gives an RGBA tuple of 0..255 ints."""
        s = self.size
        x0, y0, x1, y1 = bbox if bbox else (0, 0, s, s)
        x0, y0 = max(0, int(x0) - 1), max(0, int(y0) - 1)
        x1, y1 = min(s, int(math.ceil(x1)) + 1), min(s, int(math.ceil(y1)) + 1)
        for y in range(y0, y1):
            for x in range(x0, x1):
                cx, cy = x + 0.5, y + 0.5
                cov = 0.5 - dist(cx, cy)
                if cov <= 0.0:
                    continue
                if cov > 1.0:
                    cov = 1.0
                r, g, b, a = paint(cx, cy)
                a = a / 255.0 * cov
                p = self.px[y * s + x]
                k = 1.0 - a
                p[0] = r / 255.0 * a + p[0] * k
                p[1] = g / 255.0 * a + p[1] * k
                p[2] = b / 255.0 * a + p[2] * k
                p[3] = a + p[3] * k

    def rows(self):
        s = self.size
        out = []
        for y in range(s):
            line = []
            for x in range(s):
                r, g, b, a = self.px[y * s + x]
                if a <= 0.0:
                    line.append((0, 0, 0, 0))
                    continue
                line.append((int(round(min(1.0, r / a) * 255)),
                             int(round(min(1.0, g / a) * 255)),
                             int(round(min(1.0, b / a) * 255)),
                             int(round(a * 255))))
            out.append(line)
        return out


def solid(c):
    return lambda x, y: c


def lerp(a, b, t):
    t = 0.0 if t < 0.0 else 1.0 if t > 1.0 else t
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(4))


def box_dist(x0, y0, x1, y1, r=0.0):
    """Signed distance to a box with corner radius r."""
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def d(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        ox, oy = max(qx, 0.0), max(qy, 0.0)
        return math.hypot(ox, oy) + min(max(qx, qy), 0.0) - r
    return d


def circle_dist(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def polygon_dist(pts):
    n = len(pts)

    def d(x, y):
        best = float("inf")
        sign = 1.0
        j = n - 1
        for i in range(n):
            ax, ay = pts[i]
            bx, by = pts[j]
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            t = (wx * ex + wy * ey) / (ex * ex + ey * ey)
            t = 0.0 if t < 0.0 else 1.0 if t > 1.0 else t
            dx, dy = wx - ex * t, wy - ey * t
            dd = dx * dx + dy * dy
            if dd < best:
                best = dd
            c1 = y >= ay
            c2 = y < by
            c3 = ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                sign = -sign
            j = i
        return sign * math.sqrt(best)
    return d


def cached(dist, size):
    """Evaluate dist once at every pixel centre; return a lookup."""
    table = [dist(x + 0.5, y + 0.5) for y in range(size) for x in range(size)]

    def d(x, y):
        return table[int(y) * size + int(x)]
    return d


def offset(dist, by):
    """Shrink (by > 0) or grow (by < 0) a shape."""
    return lambda x, y: dist(x, y) + by


def cubic(p0, p1, p2, p3, steps):
    out = []
    for i in range(1, steps + 1):
        t = i / steps
        u = 1 - t
        out.append((u * u * u * p0[0] + 3 * u * u * t * p1[0]
                    + 3 * u * t * t * p2[0] + t * t * t * p3[0],
                    u * u * u * p0[1] + 3 * u * u * t * p1[1]
                    + 3 * u * t * t * p2[1] + t * t * t * p3[1]))
    return out


def shield_outline(left, right, top, shoulder, tip, corner):
    """Heater shield: flat top with rounded corners, straight sides down to
    `shoulder`, then curves meeting at a point at `tip`."""
    mid = (left + right) / 2.0
    w = right - left
    steps = 24
    pts = []
    # top-left corner, then along the top
    pts.append((left, top + corner))
    pts += cubic((left, top + corner), (left, top + corner * 0.45),
                 (left + corner * 0.45, top), (left + corner, top), 6)
    pts.append((right - corner, top))
    pts += cubic((right - corner, top), (right - corner * 0.45, top),
                 (right, top + corner * 0.45), (right, top + corner), 6)
    # right side down, curve to the tip
    pts.append((right, shoulder))
    pts += cubic((right, shoulder), (right, shoulder + (tip - shoulder) * 0.55),
                 (mid + w * 0.22, tip - (tip - shoulder) * 0.18), (mid, tip),
                 steps)
    # and back up the left side
    pts += cubic((mid, tip), (mid - w * 0.22, tip - (tip - shoulder) * 0.18),
                 (left, shoulder + (tip - shoulder) * 0.55), (left, shoulder),
                 steps)
    return pts


# Icon palette
C_OUTLINE = hexrgb("#0A2233")
C_TEAL = hexrgb("#1F93AD")
C_TEAL_DARK = hexrgb("#137089")
C_BLUE = hexrgb("#0F4F7F")
C_BLUE_DARK = hexrgb("#0B3A63")
C_RIM = hexrgb("#FFFFFF")
C_SHELL = hexrgb("#FFFFFF")
C_SHELL_SHADE = hexrgb("#B8C7D1")
C_ORANGE = hexrgb("#FF9830")
C_ORANGE_DARK = hexrgb("#D0661C")
C_ORANGE_LIGHT = hexrgb("#FFB866")

# Per-size line widths (pixels): outline, gap to white rim, white rim.
ICON_STYLE = {
    24: dict(outline=1.0, rim=0.0, rim_gap=0.0),
    32: dict(outline=1.0, rim=0.0, rim_gap=0.0),
    48: dict(outline=1.0, rim=1.0, rim_gap=2.0),
    256: dict(outline=6.0, rim=5.0, rim_gap=9.0),
}


def render_icon(s):
    st = ICON_STYLE[s]
    c = Canvas(s)
    half = s / 2.0

    def px(v):          # a length in 256ths of the icon, to whole pixels
        return float(math.floor(v * s / 256.0 + 0.5))

    def sym(hw):        # a symmetric pair of x edges, whole pixels
        h = px(hw)
        return half - h, half + h

    left, right = sym(110)
    top = px(10) if s >= 48 else 0.0
    shoulder = px(118)
    tip = float(s) - (px(6) if s >= 48 else 0.0)
    corner = max(1.5, s * 22 / 256.0)
    shield = cached(polygon_dist(shield_outline(left, right, top, shoulder,
                                                tip, corner)), s)
    bb = (left, top, right, tip)

    # outline, then the body in two halves (lit teal left, deep blue right)
    c.fill(shield, solid(C_OUTLINE), bb)
    body = offset(shield, st["outline"])

    def left_half(x, y):
        t = (y - top) / (tip - top)
        return lerp(C_TEAL, C_TEAL_DARK, t)

    def right_half(x, y):
        t = (y - top) / (tip - top)
        return lerp(C_BLUE, C_BLUE_DARK, t)

    c.fill(body, left_half, bb)
    c.fill(lambda x, y: max(body(x, y), half - x), right_half, bb)

    if st["rim"] > 0:
        outer = offset(shield, st["outline"] + st["rim_gap"])
        inner = offset(shield, st["outline"] + st["rim_gap"] + st["rim"])
        c.fill(lambda x, y: max(outer(x, y), -inner(x, y)),
               solid(C_RIM), bb)

    # a USB stick: metal shell with two holes over an orange body
    sx0, sx1 = sym(36)
    sy0, sy1 = px(44), px(104)
    shell = box_dist(sx0, sy0, sx1, sy1, r=max(0.0, s / 128.0))
    shade_h = max(1.0, px(12))
    c.fill(shell, lambda x, y: C_SHELL if y < sy1 - shade_h else C_SHELL_SHADE,
           (sx0, sy0, sx1, sy1))
    hw = max(1.0, px(14))
    gap = 2.0 * max(1.0, px(8))     # even, so the holes sit on whole pixels
    hy0 = sy0 + max(1.0, px(16))
    for hx0 in (half - gap / 2 - hw, half + gap / 2):
        c.fill(box_dist(hx0, hy0, hx0 + hw, hy0 + hw), solid(C_OUTLINE),
               (hx0, hy0, hx0 + hw, hy0 + hw))

    bx0, bx1 = sym(40)
    by0, by1 = sy1, px(202)
    body_r = s * 18 / 256.0 if s >= 48 else 0.0
    body = box_dist(bx0, by0 - body_r, bx1, by1, r=body_r)
    lower_h = max(1.0, px(14))
    c.fill(lambda x, y: max(body(x, y), by0 - y),
           lambda x, y: C_ORANGE_DARK if y > by1 - lower_h else C_ORANGE,
           (bx0, by0, bx1, by1))
    if s >= 48:
        # a glint down the left of the body and a lanyard hole
        gx0 = bx0 + px(12)
        c.fill(box_dist(gx0, by0 + px(14), gx0 + max(1.0, px(10)),
                        by1 - lower_h - px(30), r=px(5)),
               solid(C_ORANGE_LIGHT))
        c.fill(circle_dist(half, by1 - lower_h - px(16), max(1.5, px(9))),
               solid(C_OUTLINE))
    return c.rows()


# --------------------------------------------------------------------------
# The options dialog's picture
# --------------------------------------------------------------------------

PICTURE_W, PICTURE_H = 100, 175
C_SKY_TOP = hexrgb("#BFE2EF")
C_SKY_BOTTOM = hexrgb("#F3FAFC")


def downscale(rows, k):
    """Average k x k blocks, weighting colour by alpha."""
    n = len(rows) // k
    out = []
    for y in range(n):
        line = []
        for x in range(n):
            r = g = b = a = 0.0
            for dy in range(k):
                for dx in range(k):
                    pr, pg, pb, pa = rows[y * k + dy][x * k + dx]
                    r += pr * pa
                    g += pg * pa
                    b += pb * pa
                    a += pa
            if a == 0:
                line.append((0, 0, 0, 0))
            else:
                line.append((int(round(r / a)), int(round(g / a)),
                             int(round(b / a)), int(round(a / (k * k)))))
        out.append(line)
    return out


def blurred_alpha(rows, radius):
    """The shape's alpha, box-blurred twice: a soft shadow to lay under it."""
    n = len(rows)
    pad = 2 * radius
    size = n + 2 * pad
    a = [[0.0] * size for _ in range(size)]
    for y in range(n):
        for x in range(n):
            a[y + pad][x + pad] = rows[y][x][3] / 255.0
    for _ in range(2):
        a = [[sum(line[max(0, x - radius):x + radius + 1]) / (2 * radius + 1)
              for x in range(size)] for line in a]
        a = [list(col) for col in zip(*a)]
        a = [[sum(line[max(0, x - radius):x + radius + 1]) / (2 * radius + 1)
              for x in range(size)] for line in a]
        a = [list(col) for col in zip(*a)]
    return a, pad


def blit(canvas, rows, ox, oy):
    """Lay straight-alpha rows over the canvas with their corner at ox, oy."""
    s = canvas.size
    for y, line in enumerate(rows):
        for x, (r, g, b, a) in enumerate(line):
            cx, cy = ox + x, oy + y
            if a == 0 or not (0 <= cx < s and 0 <= cy < s):
                continue
            p = canvas.px[cy * s + cx]
            f = a / 255.0
            k = 1.0 - f
            p[0] = r / 255.0 * f + p[0] * k
            p[1] = g / 255.0 * f + p[1] * k
            p[2] = b / 255.0 * f + p[2] * k
            p[3] = f + p[3] * k


def sparkle(cx, cy, r):
    """A four-pointed star."""
    w = r * 0.28
    return polygon_dist([(cx, cy - r), (cx + w, cy - w), (cx + r, cy),
                         (cx + w, cy + w), (cx, cy + r), (cx - w, cy + w),
                         (cx - r, cy), (cx - w, cy - w)])


def render_options_picture(icon_256):
    """The icon's shield on a pale sky, raised over two soft hills."""
    w, h = PICTURE_W, PICTURE_H
    c = Canvas(h)   # square; only the left w columns are kept
    c.fill(lambda x, y: -1.0,
           lambda x, y: lerp(C_SKY_TOP, C_SKY_BOTTOM, y / h), (0, 0, w, h))

    # a halo behind the shield
    hx, hy = w / 2.0, 76.0

    def halo(x, y):
        t = math.hypot(x - hx, y - hy) / 52.0
        return (255, 255, 255, int(round(200 * max(0.0, 1.0 - t) ** 1.5)))
    c.fill(circle_dist(hx, hy, 52.0), halo, (hx - 52, hy - 52, hx + 52, hy + 52))

    # hills along the bottom, in the icon's teal and blue
    def hill(base, amp, period, phase):
        return lambda x, y: base + amp * math.sin(2 * math.pi * x / period
                                                  + phase) - y
    c.fill(hill(141.0, 4.0, 120.0, 0.6), solid(hexrgb("#1F93AD", 70)),
           (0, 130, w, h))
    c.fill(hill(153.0, 3.5, 90.0, 2.4), solid(hexrgb("#0F4F7F", 80)),
           (0, 142, w, h))

    shield = downscale(icon_256, 3)
    n = len(shield)
    ox, oy = (w - n) // 2, 32

    # its shadow on the ground, then a soft one just below it
    c.fill(lambda x, y: (((x - w / 2.0) / 22.0) ** 2
                         + ((y - 127.0) / 3.5) ** 2 - 1.0) * 3.0,
           solid(hexrgb("#0B3A63", 60)), (w / 2 - 24, 122, w / 2 + 24, 132))
    shadow, pad = blurred_alpha(shield, 2)
    blit(c, [[(11, 58, 99, int(round(a * 90))) for a in line]
             for line in shadow], ox - pad, oy + 3 - pad)
    blit(c, shield, ox, oy)

    for cx, cy, r in ((83.0, 22.0, 6.0), (13.0, 16.0, 4.0), (90.0, 104.0, 3.5)):
        c.fill(sparkle(cx, cy, r), solid(hexrgb("#FFFFFF", 235)),
               (cx - r, cy - r, cx + r, cy + r))
    c.fill(sparkle(10.0, 112.0, 3.0), solid(C_ORANGE_LIGHT),
           (7.0, 109.0, 13.0, 115.0))

    return [line[:w] for line in c.rows()]


def write_jpeg(name, rows):
    """Baseline JPEG through convert, from a PNG that is not kept."""
    with tempfile.TemporaryDirectory() as tmp:
        drawn = os.path.join(tmp, "picture.png")
        with open(drawn, "wb") as f:
            f.write(png(rows))
        subprocess.run(["convert", drawn, "-strip", "-interlace", "none",
                        "-quality", "90", "-sampling-factor", "2x2",
                        os.path.join(HERE, name)], check=True)


# --------------------------------------------------------------------------
# File writers
# --------------------------------------------------------------------------

def bmp24(rows):
    """24-bit bottom-up BMP; transparent pixels become magenta."""
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, a in row:
            if a < 128:
                r, g, b = MAGENTA
            else:
                assert (r, g, b) != MAGENTA
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        data += line
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data),
                       2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0,
                       14 + len(info))
    return head + info + bytes(data)


def ico_bmp_frame(rows):
    """An ICO frame: BITMAPINFOHEADER (double height), BGRA, AND mask."""
    h, w = len(rows), len(rows[0])
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + bytes(mask)


def png(rows):
    h, w = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for px in row:
            raw += bytes(px)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def ico(frames):
    """frames: list of pixel rows, smallest first; 256 is stored as PNG."""
    head = struct.pack("<HHH", 0, 1, len(frames))
    blobs = []
    for rows in frames:
        size = len(rows)
        blobs.append(png(rows) if size >= 256 else ico_bmp_frame(rows))
    pos = 6 + 16 * len(frames)
    entries = b""
    for rows, blob in zip(frames, blobs):
        size = len(rows)
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob),
                               pos)
        pos += len(blob)
    return head + entries + b"".join(blobs)


def strip(*images):
    return [sum((img[y] for img in images), []) for y in range(16)]


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    icon_frames = [ICON_16] + [render_icon(s) for s in (24, 32, 48, 256)]
    write("kestrix.ico", ico(icon_frames))

    menus = (("menu-show.bmp", MENU_SHOW), ("menu-about.bmp", MENU_ABOUT),
             ("menu-exit.bmp", MENU_EXIT))
    for name, img in menus:
        write(name, bmp24(img))
    write("menu.bmp", bmp24(strip(*(img for _, img in menus))))

    cats = (("category-virus.bmp", CATEGORY_VIRUS),
            ("category-danger.bmp", CATEGORY_DANGER),
            ("category-suspicious.bmp", CATEGORY_SUSPICIOUS),
            ("category-junk.bmp", CATEGORY_JUNK))
    for name, img in cats:
        write(name, bmp24(img))
    write("categories.bmp", bmp24(strip(*(img for _, img in cats))))

    write("glyph-clean.bmp", bmp24(GLYPH_CLEAN))

    write_jpeg("options-picture.jpg", render_options_picture(icon_frames[-1]))


if __name__ == "__main__":
    main()
