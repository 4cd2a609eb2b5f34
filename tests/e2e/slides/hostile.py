"""Valid JPEGs of any size that cost almost nothing to make or to send: a plain grey picture in
which every 8 x 8 block is coded in two bits (one Huffman code for "no change" of the DC value,
one for "end of block"), so a 20000 x 20000 picture is 1.5 MB and decodes, by a loader that
tries, into 1.2 GB of pixels."""
import struct


def _segment(marker, payload):
    return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload


def plain_jpeg(width, height, components=1):
    """A baseline JPEG of `components` (1: grey, 3: colour, YCbCr without subsampling)."""
    ids = range(1, components + 1)
    quant = _segment(0xDB, bytes([0]) + bytes([1] * 64))
    frame = _segment(0xC0, struct.pack(">BHHB", 8, height, width, components) +
                     b"".join(bytes([i, 0x11, 0]) for i in ids))
    one_code = bytes([1] + [0] * 15)  # a single code, of length 1
    huffman = _segment(0xC4, bytes([0x00]) + one_code + bytes([0x00]))   # DC: category 0
    huffman += _segment(0xC4, bytes([0x10]) + one_code + bytes([0x00]))  # AC: end of block
    scan = _segment(0xDA, bytes([components]) + b"".join(bytes([i, 0x00]) for i in ids) + bytes([0, 63, 0]))
    blocks = ((width + 7) // 8) * ((height + 7) // 8) * components
    bits = 2 * blocks
    data = bytes(bits // 8) + (bytes([0xFF >> (bits % 8)]) if bits % 8 else b"")
    if data.endswith(b"\xff"):
        data += b"\x00"  # a coded 0xFF byte is followed by a stuffed zero
    return b"\xff\xd8" + quant + frame + huffman + scan + data + b"\xff\xd9"
