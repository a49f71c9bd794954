#!/usr/bin/env python3
"""Camera RAW files for the carving benchmark, laid out as each maker's files are (header, IFD chain,
sub-IFDs, maker note, previews, sensor data last) with real JPEG previews and random sensor data. No RAW
samples can be fetched on the build machines, so the layouts follow the published format descriptions.

    raw_layouts.py PREVIEW.jpg THUMB.jpg OUTPUT-FOLDER
"""
import random
import struct
import sys

preview, thumb = (open(p, "rb").read() for p in sys.argv[1:3])
out = sys.argv[3]

ASCII, SHORT, LONG, UNDEF, BYTE = 2, 3, 4, 7, 1


class Layout:
    """Chunks in file order: IFDs (entries may point at other chunks by name) and data blobs."""

    def __init__(self, endian, head):
        self.e = endian
        self.head = head  # callable(offsets) -> header bytes, fixed length
        self.head_len = len(head({"ifd0": 0, "raw_ifd": 0}))
        self.chunks = []

    def ifd(self, name, entries, next_=None):
        self.chunks.append(("ifd", name, entries, next_))

    def blob(self, name, data):
        self.chunks.append(("blob", name, data, None))

    def _ifd_bytes(self, entries, next_, at, offs, lens):
        e = self.e
        fixed = 2 + 12 * len(entries) + 4
        body, extra = struct.pack(e + "H", len(entries)), b""
        for tag, typ, value in sorted(entries, key=lambda t: t[0]):
            if isinstance(value, tuple) and value[0] == "chunk":  # the entry's value is that chunk
                count, field = lens.get(value[1], 0), offs.get(value[1], 0)
            else:
                if isinstance(value, tuple) and value[0] in ("ref", "len"):
                    value = [(offs if value[0] == "ref" else lens).get(n, 0) for n in value[1]]
                if typ == ASCII:
                    raw = value.encode() + b"\0"
                elif typ in (BYTE, UNDEF):
                    raw = bytes(value)
                else:
                    value = value if isinstance(value, list) else [value]
                    raw = b"".join(struct.pack(e + ("H" if typ == SHORT else "I"), v) for v in value)
                count = len(raw) // (2 if typ == SHORT else 4 if typ == LONG else 1)
                if len(raw) <= 4:
                    field = None
                    inline = raw.ljust(4, b"\0")
                else:
                    field = at + fixed + len(extra)
                    extra += raw + (b"\0" if len(raw) % 2 else b"")
            if field is not None:
                inline = struct.pack(e + "I", field)
            body += struct.pack(e + "HHI", tag, typ, count) + inline
        body += struct.pack(e + "I", offs.get(next_, 0) if next_ else 0)
        return body + extra

    def build(self):
        offs, lens = {}, {}
        for _ in range(3):  # sizes settle once the offsets do
            at, parts = self.head_len, []
            for k, (kind, name, payload, next_) in enumerate(self.chunks):
                data = payload if kind == "blob" else self._ifd_bytes(payload, next_, at, offs, lens)
                offs[name], lens[name] = at, len(data)
                parts.append(data)
                at += len(data)
                if len(data) % 2 and k + 1 < len(self.chunks):  # offsets are word-aligned; the end is not
                    parts.append(b"\0")
                    at += 1
        return self.head(offs) + b"".join(parts)


def tiff_head(endian, magic=None):
    def head(offs):
        m = magic or (b"II*\0" if endian == "<" else b"MM\0*")
        return m + struct.pack(endian + "I", offs["ifd0"])
    return head


def exif(layout, makernote):
    layout.ifd("exif", [(0x829A, LONG, [1, 250]), (0x8827, SHORT, 200), (0x927C, UNDEF, ("chunk", "mn"))])
    layout.blob("mn", makernote)


def sensor(seed, size):
    return random.Random(seed).randbytes(size)


def canon(n):
    def head(offs):
        return b"II*\0" + struct.pack("<I", 16) + b"CR\x02\x00" + struct.pack("<I", offs["raw_ifd"])
    t = Layout("<", head)
    t.ifd("ifd0", [(0x10F, ASCII, "Canon"), (0x110, ASCII, "Canon EOS 80D"), (0x103, SHORT, 6),
                   (0x111, LONG, ("ref", ["preview"])), (0x117, LONG, ("len", ["preview"])),
                   (0x8769, LONG, ("ref", ["exif"]))], "ifd1")
    exif(t, b"\x00" * 2 + sensor(n, 3000))
    t.ifd("ifd1", [(0x201, LONG, ("ref", ["thumb"])), (0x202, LONG, ("len", ["thumb"]))], "ifd2")
    t.ifd("ifd2", [(0x100, SHORT, 160), (0x101, SHORT, 120), (0x111, LONG, ("ref", ["rgb"])),
                   (0x117, LONG, ("len", ["rgb"]))], "raw_ifd")
    t.ifd("raw_ifd", [(0x103, SHORT, 6), (0x111, LONG, ("ref", ["raw"])), (0x117, LONG, ("len", ["raw"])),
                      (0xC640, SHORT, [1, 2000, 2000])])
    t.blob("preview", preview)
    t.blob("thumb", thumb)
    t.blob("rgb", sensor(n + 1, 160 * 120 * 6))
    t.blob("raw", sensor(n + 2, 1_500_000 + 7777 * n))
    return t.build()


def nikon(n):
    t = Layout(">", tiff_head(">"))
    t.ifd("ifd0", [(0xFE, LONG, 1), (0x10F, ASCII, "NIKON CORPORATION"), (0x110, ASCII, "NIKON D750"),
                   (0x111, LONG, ("ref", ["rgb"])), (0x117, LONG, ("len", ["rgb"])),
                   (0x14A, LONG, ("ref", ["sub_jpeg", "sub_raw"])), (0x8769, LONG, ("ref", ["exif"]))])
    # The maker note is a TIFF of its own whose preview lies inside it.
    note = b"Nikon\0\x02\x11\0\0MM\0*" + struct.pack(">I", 8) + sensor(n, 2500) + thumb
    exif(t, note)
    t.ifd("sub_jpeg", [(0xFE, LONG, 1), (0x201, LONG, ("ref", ["preview"])), (0x202, LONG, ("len", ["preview"]))])
    t.ifd("sub_raw", [(0xFE, LONG, 0), (0x103, SHORT, 34713), (0x111, LONG, ("ref", ["raw"])),
                      (0x117, LONG, ("len", ["raw"]))])
    t.blob("rgb", sensor(n + 1, 160 * 120 * 3))
    t.blob("preview", preview)
    t.blob("raw", sensor(n + 2, 1_700_000 + 5555 * n))
    return t.build()


def sony(n, model):
    t = Layout("<", tiff_head("<"))
    t.ifd("ifd0", [(0xFE, LONG, 1), (0x10F, ASCII, "SONY"), (0x110, ASCII, model),
                   (0x201, LONG, ("ref", ["preview"])), (0x202, LONG, ("len", ["preview"])),
                   (0x14A, LONG, ("ref", ["sub_raw"])), (0x8769, LONG, ("ref", ["exif"])),
                   (0x7200, LONG, ("ref", ["private"])), (0x7201, LONG, ("len", ["private"])),
                   (0x7221, LONG, 0x1234)], "ifd1")
    exif(t, b"SONY DSC \0\0\0" + sensor(n, 4000))
    t.ifd("ifd1", [(0x201, LONG, ("ref", ["thumb"])), (0x202, LONG, ("len", ["thumb"]))])
    t.ifd("sub_raw", [(0xFE, LONG, 0), (0x103, SHORT, 32767), (0x111, LONG, ("ref", ["raw"])),
                      (0x117, LONG, ("len", ["raw"]))])
    t.blob("thumb", thumb)
    t.blob("preview", preview)
    t.blob("raw", sensor(n + 2, 1_600_000 + 3333 * n))
    t.blob("private", sensor(n + 3, 20000))  # the encrypted block after the sensor data
    return t.build()


def dng(n):
    t = Layout("<", tiff_head("<"))
    tiles = [f"tile{k}" for k in range(4)]
    t.ifd("ifd0", [(0xFE, LONG, 1), (0x10F, ASCII, "Google"), (0x110, ASCII, "Pixel 7"),
                   (0xC612, BYTE, [1, 4, 0, 0]), (0x111, LONG, ("ref", ["rgb"])), (0x117, LONG, ("len", ["rgb"])),
                   (0x14A, LONG, ("ref", ["sub_raw", "sub_jpeg"])), (0x8769, LONG, ("ref", ["exif"])),
                   (0xC634, BYTE, list(sensor(n, 600)))])
    exif(t, b"")
    t.ifd("sub_raw", [(0xFE, LONG, 0), (0x142, SHORT, 256), (0x143, SHORT, 256),
                      (0x144, LONG, ("ref", tiles)), (0x145, LONG, ("len", tiles))])
    t.ifd("sub_jpeg", [(0xFE, LONG, 1), (0x103, SHORT, 7), (0x111, LONG, ("ref", ["preview"])),
                       (0x117, LONG, ("len", ["preview"]))])
    t.blob("rgb", sensor(n + 1, 256 * 192 * 3))
    t.blob("preview", preview)
    for k, tile in enumerate(tiles):
        t.blob(tile, sensor(n + 10 + k, 300_000 + 1111 * k + 13 * n))
    return t.build()


def olympus(n):
    t = Layout("<", tiff_head("<", b"IIRO"))
    t.ifd("ifd0", [(0xFE, LONG, 0), (0x10F, ASCII, "OLYMPUS IMAGING CORP."), (0x110, ASCII, "E-M10"),
                   (0x111, LONG, ("ref", ["raw"])), (0x117, LONG, ("len", ["raw"])),
                   (0x8769, LONG, ("ref", ["exif"]))])
    exif(t, b"OLYMPUS\0II\x03\0" + sensor(n, 3000) + preview)  # the preview inside the maker note
    t.blob("raw", sensor(n + 2, 1_400_000 + 999 * n))
    return t.build()


def pentax(n):
    t = Layout(">", tiff_head(">"))
    t.ifd("ifd0", [(0x10F, ASCII, "PENTAX"), (0x110, ASCII, "PENTAX K-5"), (0x103, SHORT, 65535),
                   (0x111, LONG, ("ref", ["raw"])), (0x117, LONG, ("len", ["raw"])),
                   (0x201, LONG, ("ref", ["thumb"])), (0x202, LONG, ("len", ["thumb"])),
                   (0x8769, LONG, ("ref", ["exif"]))])
    exif(t, b"AOC\0MM" + sensor(n, 5000) + preview)
    t.blob("thumb", thumb)
    t.blob("raw", sensor(n + 2, 1_300_000 + 4444 * n))
    return t.build()


def panasonic(n):
    def head(offs):
        return b"IIU\0" + struct.pack("<I", 0x18) + sensor(n + 50, 16)
    t = Layout("<", head)
    t.ifd("ifd0", [(0x01, UNDEF, list(b"0450")), (0x10F, ASCII, "Panasonic"), (0x110, ASCII, "DC-GH5"),
                   (0x2E, UNDEF, ("chunk", "jpeg")), (0x111, LONG, ("ref", ["raw"])),
                   (0x117, LONG, ("len", ["raw"])), (0x118, LONG, ("ref", ["raw"]))])
    t.blob("jpeg", preview)
    t.blob("raw", sensor(n + 2, 1_800_000 + 2222 * n))
    return t.build()


makers = {"cr2": canon, "nef": nikon, "dng": dng, "orf": olympus, "pef": pentax, "rw2": panasonic}
for n in (1, 2):
    for ext, make in makers.items():
        open(f"{out}/camera_{n}.{ext}", "wb").write(make(n))
    open(f"{out}/camera_{n}.arw", "wb").write(sony(n, "ILCE-7M3"))
    open(f"{out}/camera_{n}.sr2", "wb").write(sony(n + 20, "DSC-R1"))
