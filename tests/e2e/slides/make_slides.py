#!/usr/bin/python3
"""Makes the slideshow test pictures next to this file (deterministic; needs python3-pil, which the
tests themselves do not: the JPEGs are kept in the tree). Run: /usr/bin/python3 make_slides.py

small.jpg  160 x 96, plain red: smaller than the client area, so the fill shows right of and below it
large.jpg  512 x 256, plain blue with a yellow column at x 400-431 and a yellow row at y 160-175:
           larger than the client area; the stripes show where a scaled picture would have moved them
Edges lie on 16-pixel boundaries so that JPEG's blocks keep them sharp."""
from pathlib import Path

from PIL import Image, ImageDraw

HERE = Path(__file__).resolve().parent
RED = (200, 40, 40)
BLUE = (40, 60, 200)
YELLOW = (230, 200, 40)


def save(image, name):
    image.save(HERE / name, "JPEG", quality=90, optimize=False, progressive=False, dpi=(96, 96))


save(Image.new("RGB", (160, 96), RED), "small.jpg")
large = Image.new("RGB", (512, 256), BLUE)
draw = ImageDraw.Draw(large)
draw.rectangle([400, 0, 431, 255], fill=YELLOW)
draw.rectangle([0, 160, 511, 175], fill=YELLOW)
save(large, "large.jpg")
