#!/usr/bin/env python3
"""Writes a seed for btrfs_quick_engine_fuzzer from a Btrfs volume image: its size in MiB, then as pieces
(first sector, length, bytes) the superblock, every tree block the volume wrote (the old ones too) and the first
`--data` KiB of the other non-zero blocks. Usage: btrfs_seed.py IMAGE SEED [--data KIB] [--every N]"""
import struct
import sys


def main():
    args = sys.argv[1:]
    image, seed = args[0], args[1]
    data_budget = int(args[args.index("--data") + 1]) * 1024 if "--data" in args else 64 * 1024
    every = int(args[args.index("--every") + 1]) if "--every" in args else 1
    raw = open(image, "rb").read()
    sb = raw[0x10000:0x11000]
    fsid, node = sb[0x20:0x30], struct.unpack_from("<I", sb, 0x94)[0]
    out = bytearray(struct.pack("<I", (len(raw) + (1 << 20) - 1) >> 20))

    def piece(at, data):
        out.extend(struct.pack("<II", at // 512, len(data)) + data)

    piece(0x10000, sb)
    tree = 0
    at = 0x100000
    while at + node <= len(raw):
        block = raw[at:at + node]
        if block[0x20:0x30] == fsid and struct.unpack_from("<Q", block, 0x30)[0] != 0:
            if tree % every == 0:
                piece(at, block.rstrip(b"\0") or b"\0")
            tree += 1
            at += node
            continue
        if data_budget > 0 and block[:4096].strip(b"\0"):
            piece(at, block[:4096])
            data_budget -= 4096
        at += 4096
    open(seed, "wb").write(out)


main()
