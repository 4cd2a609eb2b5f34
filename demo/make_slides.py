#!/usr/bin/python3
"""Makes the demo's two slideshow pictures (deterministic; needs python3-pil and fonts-dejavu-core).
Run from anywhere: /usr/bin/python3 demo/make_slides.py"""
from pathlib import Path

from PIL import Image, ImageDraw, ImageFont

HERE = Path(__file__).resolve().parent
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def slide(path, size, top, bottom, lines):
    width, height = size
    image = Image.new("RGB", size)
    draw = ImageDraw.Draw(image)
    for y in range(height):
        t = y / (height - 1)
        draw.line([(0, y), (width, y)], fill=tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)))
    for i in range(0, width + height, 24):
        draw.line([(i, 0), (i - height, height)], fill=tuple(min(255, c + 18) for c in top), width=3)
    y = 24
    for text, points in lines:
        font = ImageFont.truetype(FONT, points)
        box = draw.textbbox((0, 0), text, font=font)
        x = (width - (box[2] - box[0])) // 2
        draw.text((x + 2, y + 2), text, font=font, fill=(0, 0, 0))
        draw.text((x, y), text, font=font, fill=(250, 240, 200))
        y += box[3] - box[1] + 18
    image.save(path, "JPEG", quality=85, optimize=False, progressive=False, dpi=(96, 96))


slide(HERE / "slide1.jpg", (440, 150), (40, 90, 160), (10, 30, 70),
      [("Explore the world of", 22), ("PELLMORROW", 40)])
slide(HERE / "slide2.jpg", (400, 170), (150, 60, 20), (60, 20, 10),
      [("Thousands of players", 24), ("are waiting for you", 24)])
