#!/usr/bin/env python3
"""Wraps a JPEG as a camera writes it: SOI, an Exif APP1 (maker, model, date, and a JPEG thumbnail in IFD1),
then the picture's own segments. Each output differs in its date and image number, as a camera's files do.

    camera_jpeg.py PICTURE.jpg THUMB.jpg NUMBER OUTPUT.jpg
"""
import struct
import sys

picture, thumb = (open(p, "rb").read() for p in sys.argv[1:3])
number, out = int(sys.argv[3]), sys.argv[4]
assert picture[:2] == b"\xff\xd8" and thumb[:2] == b"\xff\xd8"

ASCII, SHORT, LONG = 2, 3, 4


def ifd(entries, at, next_ifd):
    """An IFD at offset `at` of the TIFF data; values longer than four bytes follow it."""
    fixed = 2 + 12 * len(entries) + 4
    body, extra = struct.pack("<H", len(entries)), b""
    for tag, typ, value in entries:
        if typ == ASCII:
            raw = value.encode() + b"\0"
            count = len(raw)
        else:
            raw = struct.pack("<H" if typ == SHORT else "<I", value)
            count = 1
        if len(raw) <= 4:
            body += struct.pack("<HHI", tag, typ, count) + raw.ljust(4, b"\0")
        else:
            body += struct.pack("<HHII", tag, typ, count, at + fixed + len(extra))
            extra += raw + bytes(len(raw) % 2)
    return body + struct.pack("<I", next_ifd) + extra


date = "2026:06:%02d %02d:%02d:%02d" % (1 + number % 28, number % 24, number % 60, (number * 7) % 60)
ifd0_entries = [(0x010F, ASCII, "SNAPCAM"), (0x0110, ASCII, "Model %d" % (number % 3)),
                (0x0132, ASCII, date), (0x0131, ASCII, "fw 1.%d" % number)]
ifd0_len = len(ifd(ifd0_entries, 8, 0))
ifd1_at = 8 + ifd0_len
ifd1_fixed = 2 + 12 * 3 + 4
thumb_at = ifd1_at + ifd1_fixed
tiff = b"II*\0" + struct.pack("<I", 8) + ifd(ifd0_entries, 8, ifd1_at)
tiff += ifd([(0x0103, SHORT, 6), (0x0201, LONG, thumb_at), (0x0202, LONG, len(thumb))], ifd1_at, 0)
tiff += thumb
app1 = b"Exif\0\0" + tiff
assert len(app1) + 2 < 65536
with open(out, "wb") as f:
    f.write(b"\xff\xd8\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + picture[2:])
