#!/usr/bin/env python3
"""Writes synthetic AC49x firmware images for the simulated DSP: "kernel" and "program" (and
their "_16" and "_20" variants, the files of the 16- and 20-channel chips) into a directory.

Both images start with a 34-byte header that the download skips. Then blocks, every value
most significant byte first, a word being 16 bits:
  kernel block:  bytes 0-3 bit 31 last block, bits 30-0 load address in words;
                 bytes 4-5 data length in words; bytes 6-7 unused (0); then the data.
  program block: bytes 0-3 as in the kernel; bytes 4-5 data length in words; bytes 6-7 the
                 block's checksum: the 16-bit sum of its data words; then the data.
The simulated DSP checks each program block's checksum and answers 1 (good) or 2 (bad) in its
boot status register; after a good last block it runs.

Usage: make_firmware.py DIR [--keep] [--bad-checksum] [--truncate BYTES]
  --keep          leave images that already exist alone
  --bad-checksum  the second program block carries a wrong checksum
  --truncate N    cut the program images N bytes short
"""
import argparse
import os
import struct
import sys

HEADER = b"AC49x synthetic firmware image\0\0\0\0"
assert len(HEADER) == 34

KERNEL_LOAD_WORDS = 0x10000  # byte address 0x20000, clear of the rings and registers
PROGRAM_LOAD_WORDS = 0x18000


def data_words(seed, count):
    """Reproducible pseudo-random words."""
    x = seed & 0xFFFFFFFF
    out = []
    for _ in range(count):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((x >> 16) & 0xFFFF)
    return out


def checksum(words):
    return sum(words) & 0xFFFF


def image(kind, seed, blocks, words, bad_checksum=False):
    out = bytearray(HEADER)
    load = KERNEL_LOAD_WORDS if kind == "kernel" else PROGRAM_LOAD_WORDS
    for b in range(blocks):
        d = data_words(seed * 100 + b, words)
        last = 0x80000000 if b == blocks - 1 else 0
        third = 0 if kind == "kernel" else checksum(d)
        if bad_checksum and b == 1:
            third ^= 0x5A5A
        out += struct.pack(">IHH", last | (load + b * words), words, third)
        out += struct.pack(">%dH" % words, *d)
    return bytes(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--bad-checksum", action="store_true")
    ap.add_argument("--truncate", type=int, default=0)
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    for suffix, seed in (("", 12), ("_16", 16), ("_20", 20)):
        files = {
            "kernel" + suffix: image("kernel", seed, 2, 128),
            "program" + suffix: image("program", seed + 1, 3, 256, a.bad_checksum),
        }
        if a.truncate:
            files["program" + suffix] = files["program" + suffix][: -a.truncate]
        for name, content in files.items():
            path = os.path.join(a.dir, name)
            if a.keep and os.path.exists(path):
                continue
            with open(path, "wb") as f:
                f.write(content)
    return 0


if __name__ == "__main__":
    sys.exit(main())
