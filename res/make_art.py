#!/usr/bin/python3
"""Regenerates the installer's binary resources in this directory.

    /usr/bin/python3 res/make_art.py [OUT_DIR]

Writes icon.ico, background.jpg and lang_243.bmp .. lang_255.bmp next to
this script (or into OUT_DIR).  Every run produces the same bytes for a given Pillow build and
font files (Debian: python3-pil, fonts-dejavu-core).  Text is laid out with
Pillow's basic layout engine on purpose, so the result does not depend on
whether libraqm happens to be installed.
"""

import io
import math
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
# Where the files go: this directory, or the folder given on the command line
# (the tests regenerate into a scratch folder and compare).
OUT_DIR = HERE
FONT_DIR = "/usr/share/fonts/truetype/dejavu"

# The skin's field colour; the dialog paints the same value around the art.
SKIN_GREEN = (5, 81, 21)
# Colour the program treats as transparent in the caption bitmaps.
TRANSPARENT_KEY = (255, 0, 0)

BG_SIZE = (480, 223)
BG_STRIP = 40  # rows of artwork at the top; everything below is SKIN_GREEN

CAPTION_SIZE = (140, 72)
CAPTION_ROW = 24
CAPTION_WHITE = (255, 255, 255)
CAPTION_YELLOW = (255, 255, 0)

# Language id -> caption inviting the user to click.
CAPTIONS = {
    243: "Klik her for at starte",       # Danish
    244: "Click here to start",          # English
    245: "Cliquez pour lancer",          # French
    246: "Zum Starten klicken",          # German
    247: "לחץ כאן כדי להתחיל",           # Hebrew (logical order)
    248: "Fai clic per iniziare",        # Italian
    249: "Haga clic para iniciar",       # Spanish
    250: "Klicka för att starta",        # Swedish
    251: "Başlamak için tıklayın",       # Turkish
    252: "Нажмите для начала",           # Russian
    253: "Klikk her for å starte",       # Norwegian
    254: "Aloita napsauttamalla",        # Finnish
    255: "Klik om te starten",           # Dutch
}
RIGHT_TO_LEFT = {247}


# --------------------------------------------------------------------------
# fonts

_warned = set()


def load_font(name, size):
    """TrueType font from fonts-dejavu-core, or Pillow's built-in font."""
    path = os.path.join(FONT_DIR, name)
    try:
        return ImageFont.truetype(path, size,
                                  layout_engine=ImageFont.Layout.BASIC)
    except OSError:
        if path not in _warned:
            _warned.add(path)
            sys.stderr.write("make_art: %s not found, using Pillow's default "
                             "font (install fonts-dejavu-core)\n" % path)
        return ImageFont.load_default()


def text_width(font, text):
    if hasattr(font, "getlength"):
        return font.getlength(text)
    box = font.getbbox(text)
    return box[2] - box[0]


def font_metrics(font):
    if hasattr(font, "getmetrics"):
        return font.getmetrics()
    box = font.getbbox("Ag")
    return box[3], 0


# --------------------------------------------------------------------------
# small drawing helpers

def lerp(a, b, t):
    return a + (b - a) * t


def lerp_rgb(c0, c1, t):
    return tuple(int(round(lerp(x, y, t))) for x, y in zip(c0, c1))


def vertical_gradient(size, stops):
    """RGB image graded top to bottom through (position, colour) stops."""
    w, h = size
    col = Image.new("RGB", (1, h))
    px = col.load()
    for y in range(h):
        t = y / max(1, h - 1)
        for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
            if p0 <= t <= p1:
                px[0, y] = lerp_rgb(c0, c1, (t - p0) / max(1e-9, p1 - p0))
                break
    return col.resize((w, h), Image.NEAREST)


def horizontal_gradient(size, stops):
    w, h = size
    return vertical_gradient((h, w), stops).transpose(Image.TRANSPOSE)


def layer(size):
    return Image.new("RGBA", size, (0, 0, 0, 0))


def leaf_layer(size, centre, length, width, angle, colour, vein):
    """A pointed leaf shape rotated by angle degrees about its centre."""
    box = int(length * 1.5)
    leaf = layer((box, box))
    d = ImageDraw.Draw(leaf)
    cx = cy = box / 2
    pts = []
    for i in range(41):
        t = i / 40.0
        x = cx - length / 2 + length * t
        y = cy - width / 2 * math.sin(math.pi * t) ** 0.8
        pts.append((x, y))
    for i in range(41):
        t = 1 - i / 40.0
        x = cx - length / 2 + length * t
        y = cy + width / 2 * math.sin(math.pi * t) ** 0.8
        pts.append((x, y))
    d.polygon(pts, fill=colour)
    d.line([(cx - length / 2 + 2, cy), (cx + length / 2 - 4, cy)],
           fill=vein, width=max(1, int(width / 10)))
    leaf = leaf.rotate(angle, resample=Image.BICUBIC)
    out = layer(size)
    out.alpha_composite(leaf, (int(centre[0] - cx), int(centre[1] - cy)))
    return out


def sparkle(draw, x, y, r, colour):
    """Four-pointed star."""
    k = r * 0.22
    draw.polygon([(x, y - r), (x + k, y - k), (x + r, y), (x + k, y + k),
                  (x, y + r), (x - k, y + k), (x - r, y), (x - k, y - k)],
                 fill=colour)


# --------------------------------------------------------------------------
# icon.ico

def shield_outline(s, inset=0.0):
    """Points of a heater shield filling an s x s square."""
    left, right = s * 0.14 + inset, s * 0.86 - inset
    top = s * 0.08 + inset
    shoulder = s * 0.50
    tip = s * 0.95 - inset * 1.4
    mid = s / 2
    pts = []
    # top edge, dipping slightly towards the middle
    for i in range(21):
        t = i / 20.0
        x = lerp(left, right, t)
        y = top + s * 0.035 * math.sin(math.pi * t)
        pts.append((x, y))
    # right side straight down, then curving into the tip
    pts.append((right, shoulder))
    for i in range(1, 21):
        t = i / 20.0
        # quadratic Bezier (right, shoulder) -> (right, tip-ish) -> (mid, tip)
        c = (right, lerp(shoulder, tip, 0.75))
        x = (1 - t) ** 2 * right + 2 * (1 - t) * t * c[0] + t * t * mid
        y = (1 - t) ** 2 * shoulder + 2 * (1 - t) * t * c[1] + t * t * tip
        pts.append((x, y))
    for i in range(1, 21):
        t = i / 20.0
        c = (left, lerp(shoulder, tip, 0.75))
        x = (1 - t) ** 2 * mid + 2 * (1 - t) * t * c[0] + t * t * left
        y = (1 - t) ** 2 * tip + 2 * (1 - t) * t * c[1] + t * t * shoulder
        pts.append((x, y))
    return pts


def masked(fill_img, pts):
    mask = Image.new("L", fill_img.size, 0)
    ImageDraw.Draw(mask).polygon(pts, fill=255)
    out = layer(fill_img.size)
    out.paste(fill_img.convert("RGBA"), (0, 0), mask)
    return out


def draw_icon_master(s):
    img = layer((s, s))
    # soft drop shadow
    shadow = layer((s, s))
    ImageDraw.Draw(shadow).polygon(
        [(x + s * 0.02, y + s * 0.025) for x, y in shield_outline(s)],
        fill=(0, 0, 0, 90))
    img.alpha_composite(shadow)
    # gold rim, dark border, green body
    img.alpha_composite(masked(
        vertical_gradient((s, s), [(0, (250, 226, 120)), (1, (170, 120, 20))]),
        shield_outline(s)))
    img.alpha_composite(masked(Image.new("RGB", (s, s), (2, 48, 12)),
                               shield_outline(s, s * 0.045)))
    body = shield_outline(s, s * 0.07)
    img.alpha_composite(masked(
        vertical_gradient((s, s), [(0, (96, 200, 92)), (0.55, (28, 138, 48)),
                                   (1, (6, 82, 24))]), body))
    # lighter left half, like a heraldic division
    half = layer((s, s))
    ImageDraw.Draw(half).polygon([(0, 0), (s / 2, 0), (s / 2, s), (0, s)],
                                 fill=(255, 255, 255, 40))
    body_mask = Image.new("L", (s, s), 0)
    ImageDraw.Draw(body_mask).polygon(body, fill=255)
    clipped = layer((s, s))
    clipped.paste(half, (0, 0), Image.composite(
        half.getchannel("A"), Image.new("L", (s, s), 0), body_mask))
    img.alpha_composite(clipped)
    # a leaf sprouting from the upper right of the letter
    img.alpha_composite(leaf_layer((s, s), (s * 0.66, s * 0.30), s * 0.30,
                                   s * 0.13, 35, (170, 235, 110, 255),
                                   (60, 140, 50, 255)))
    # the letter P
    font = load_font("DejaVuSans-Bold.ttf", int(s * 0.62))
    d = ImageDraw.Draw(img)
    box = d.textbbox((0, 0), "P", font=font)
    x = (s - (box[2] - box[0])) / 2 - box[0] - s * 0.03
    y = (s - (box[3] - box[1])) / 2 - box[1] + s * 0.02
    d.text((x + s * 0.02, y + s * 0.025), "P", font=font, fill=(0, 40, 8, 200))
    d.text((x, y), "P", font=font, fill=(255, 252, 230, 255),
           stroke_width=max(1, int(s * 0.012)), stroke_fill=(2, 48, 12, 255))
    return img


def png_icon_image(img):
    """One ICO entry stored as a whole PNG file, which Windows Vista and later and
    Wine load like a DIB entry, at about half a 32-bit DIB's size."""
    out = io.BytesIO()
    img.save(out, "PNG", optimize=True)
    return out.getvalue()


def write_ico(path, images):
    entries = [png_icon_image(im) for im in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for im, data in zip(images, entries):
        w, h = im.size
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32,
                           len(data), offset)
        offset += len(data)
    for data in entries:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def make_icon():
    master = draw_icon_master(384)
    sizes = (48, 32, 16)
    images = [master.resize((n, n), Image.LANCZOS) for n in sizes]
    write_ico(os.path.join(OUT_DIR, "icon.ico"), images)


# --------------------------------------------------------------------------
# background.jpg

def draw_banner(w, h):
    """The artwork strip, drawn at whatever size it is asked for."""
    u = h / 40.0  # one strip pixel at the final size
    base = horizontal_gradient((w, h), [
        (0.0, (4, 46, 14)), (0.30, (26, 118, 44)), (0.62, (14, 96, 34)),
        (1.0, (3, 52, 16))])
    sheen = vertical_gradient((w, h), [
        (0.0, (255, 255, 255)), (0.45, (128, 128, 128)), (1.0, (0, 0, 0))])
    img = Image.blend(base, Image.composite(
        base.point(lambda v: min(255, v + 40)), base.point(lambda v: v // 2),
        sheen.convert("L")), 0.35).convert("RGBA")

    # diagonal light stripes
    stripes = layer((w, h))
    d = ImageDraw.Draw(stripes)
    for i, x in enumerate(range(int(-h), w, int(26 * u))):
        a = 18 if i % 2 else 10
        d.polygon([(x, h), (x + 11 * u, h), (x + 11 * u + h, 0), (x + h, 0)],
                  fill=(200, 255, 170, a))
    img.alpha_composite(stripes)

    # glowing orbs
    orbs = layer((w, h))
    d = ImageDraw.Draw(orbs)
    for cx, cy, r, a in ((300, 8, 30, 26), (372, 34, 22, 30), (440, 4, 34, 22),
                         (238, 36, 14, 24)):
        for k in range(6):
            rr = r * u * (1 - k / 7.0)
            d.ellipse([cx * u - rr, cy * u - rr, cx * u + rr, cy * u + rr],
                      fill=(190, 255, 150, a))
    img.alpha_composite(orbs)

    # a sprig of leaves on the right
    for cx, cy, ln, wd, ang, col in (
            (404, 20, 34, 12, 18, (120, 200, 80, 235)),
            (428, 14, 30, 11, -28, (150, 222, 92, 235)),
            (452, 22, 32, 12, 10, (96, 180, 64, 235)),
            (380, 28, 24, 9, -14, (150, 222, 92, 220))):
        img.alpha_composite(leaf_layer(
            (w, h), (cx * u, cy * u), ln * u, wd * u, ang, col,
            (40, 110, 40, 255)))
    d = ImageDraw.Draw(img)
    d.line([(366 * u, 34 * u), (470 * u, 12 * u)], fill=(60, 130, 40, 255),
           width=max(1, int(1.6 * u)))

    # sparkles
    for x, y, r in ((214, 9, 4.5), (318, 30, 3), (344, 10, 3.5),
                    (470, 30, 3), (196, 30, 2.5)):
        sparkle(d, x * u, y * u, r * u, (255, 248, 200, 255))

    # title
    font = load_font("DejaVuSans-Bold.ttf", int(round(29 * u)))
    title = "Pellmorrow"
    box = d.textbbox((0, 0), title, font=font)
    tx = 14 * u - box[0]
    ty = (37 * u - (box[3] - box[1])) / 2 - box[1]
    shadow = layer((w, h))
    ImageDraw.Draw(shadow).text((tx + 2 * u, ty + 2 * u), title, font=font,
                                fill=(0, 30, 6, 170))
    img.alpha_composite(shadow)
    d.text((tx, ty), title, font=font, fill=(244, 252, 226, 255),
           stroke_width=max(1, int(round(1.2 * u))),
           stroke_fill=(2, 44, 12, 255))
    sub = load_font("DejaVuSans-Bold.ttf", int(round(9 * u)))
    sb = d.textbbox((0, 0), "INSTALLER", font=sub)
    d.text((tx + box[2] + 8 * u, ty + box[3] - sb[3]), "INSTALLER", font=sub,
           fill=(246, 214, 96, 255))

    # gold rule and a dark edge closing the strip
    d.rectangle([0, 36 * u, w, 38 * u], fill=(224, 184, 64, 255))
    d.rectangle([0, 36 * u, w, 36.6 * u], fill=(255, 236, 150, 255))
    d.rectangle([0, 38 * u, w, h], fill=(3, 40, 10, 255))
    return img.convert("RGB")


def make_background():
    scale = 3
    strip = draw_banner(BG_SIZE[0] * scale, BG_STRIP * scale)
    strip = strip.resize((BG_SIZE[0], BG_STRIP), Image.LANCZOS)
    img = Image.new("RGB", BG_SIZE, SKIN_GREEN)
    img.paste(strip, (0, 0))
    # 4:4:4 sampling keeps every 8x8 block below the strip (which ends on a
    # block boundary) a single flat colour after decoding.  Optimised Huffman
    # tables shrink the file without changing a decoded pixel.
    img.save(os.path.join(OUT_DIR, "background.jpg"), "JPEG", quality=85,
             subsampling=0, progressive=False, optimize=True, dpi=(96, 96))


# --------------------------------------------------------------------------
# lang_NNN.bmp

RAMP = 16  # antialiasing levels per text colour; more look no different here


def caption_palette():
    """Index 0..15: field -> white, 16..31: field -> yellow.

    Every entry is a blend of the field colour with white or yellow, so the
    transparency key can never appear, whatever the antialiasing does."""
    pal = []
    for colour in (CAPTION_WHITE, CAPTION_YELLOW):
        for i in range(RAMP):
            pal.append(lerp_rgb(SKIN_GREEN, colour, i / (RAMP - 1.0)))
    assert TRANSPARENT_KEY not in pal
    return pal


def pick_caption_font(text, max_width):
    for name, size in (("DejaVuSansCondensed-Bold.ttf", 12),
                       ("DejaVuSansCondensed-Bold.ttf", 11),
                       ("DejaVuSansCondensed.ttf", 11),
                       ("DejaVuSansCondensed.ttf", 10)):
        font = load_font(name, size)
        if text_width(font, text) <= max_width:
            return font
    return font


def caption_mask(text, underline):
    """Coverage (0..255) of one caption row."""
    w, h = CAPTION_SIZE[0], CAPTION_ROW
    font = pick_caption_font(text, w - 4)
    mask = Image.new("L", (w, h), 0)
    d = ImageDraw.Draw(mask)
    tw = text_width(font, text)
    ascent, descent = font_metrics(font)
    x = int(round((w - tw) / 2))
    y = (h - (ascent + descent)) // 2
    d.text((x, y), text, font=font, fill=255)
    if underline:
        uy = y + ascent + 1
        d.line([(x, uy), (x + int(round(tw)) - 1, uy)], fill=255, width=1)
    return mask


def rle8_row(row):
    """One row in BI_RLE8 codes, every pixel written.

    Runs of two or more equal pixels become (count, index) pairs; stretches
    without such runs become absolute blocks (0, count, indices, padded to
    an even length), which need at least three pixels.  No delta codes: a
    pixel they skip would keep whatever the target bitmap held."""
    out = bytearray()
    i, n = 0, len(row)
    while i < n:
        j = i
        while j < n and j - i < 255 and row[j] == row[i]:
            j += 1
        if j - i >= 2:
            out += bytes((j - i, row[i]))
            i = j
            continue
        j = i
        while j < n and j - i < 255 and not (
                j + 2 < n and row[j] == row[j + 1] == row[j + 2]):
            j += 1
        literal = row[i:j]
        if len(literal) < 3:
            for index in literal:
                out += bytes((1, index))
        else:
            out += bytes((0, len(literal))) + literal
            if len(literal) % 2:
                out += b"\0"
        i = j
    return bytes(out)


def write_rle8_bmp(path, size, pixels, palette):
    """A bottom-up 8-bit BMP file compressed as BI_RLE8, with only the
    palette entries it uses.  The resource compiler keeps everything after
    the 14-byte file header, so this is what the program carries."""
    w, h = size
    bits = bytearray()
    for y in range(h - 1, -1, -1):
        bits += rle8_row(pixels[y * w:(y + 1) * w]) + b"\0\0"  # end of line
    bits += b"\0\1"  # end of bitmap
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 1,  # 1 = BI_RLE8
                       len(bits), 2835, 2835, len(palette), 0)
    offset = 14 + len(info) + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + colours + bytes(bits))


def make_caption(lang_id, text):
    if lang_id in RIGHT_TO_LEFT:
        # The basic layout engine draws left to right; give it the
        # characters in visual order.  Right for these captions: Hebrew
        # letters and spaces only, no digits, Latin or mirrored punctuation.
        text = text[::-1]
    index = Image.new("L", CAPTION_SIZE, 0)
    rows = ((caption_mask(text, False), 0),
            (caption_mask(text, True), 0),
            (caption_mask(text, False), RAMP))
    for r, (mask, base) in enumerate(rows):
        idx = mask.point(lambda v, b=base: b + (v * (RAMP - 1) + 127) // 255)
        index.paste(idx, (0, r * CAPTION_ROW))
    write_rle8_bmp(os.path.join(OUT_DIR, "lang_%d.bmp" % lang_id),
                   CAPTION_SIZE, index.tobytes(), caption_palette())


def main():
    global OUT_DIR
    if len(sys.argv) > 1:
        OUT_DIR = sys.argv[1]
    make_icon()
    make_background()
    for lang_id, text in sorted(CAPTIONS.items()):
        make_caption(lang_id, text)


if __name__ == "__main__":
    main()
