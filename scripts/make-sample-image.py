#!/usr/bin/env python3
"""Writes the sample firmware image that the build embeds by default.

The image is our own: a 32-byte header that is easy to spot in a hex dump
or in the simulator's flash dump, followed by a deterministic stream of
pseudo-random bytes (xorshift32), so that every block differs and a
misplaced or repeated block changes the CRC. Its size, 102,700 bytes, is
not a multiple of 1024, so the tool's zero padding of the last block is
exercised on every update.

Usage: scripts/make-sample-image.py [OUTPUT] [SIZE]
       (defaults: res/firmware.bin, 102700)
"""
import os
import struct
import sys

MAGIC = b"FWU SAMPLE IMAGE"  # 16 bytes
SEED = 0x2545F491


def sample_image(size):
    header = MAGIC + struct.pack(">IIII", 1, size, SEED, 0)  # version, size, seed, reserved
    out = bytearray(header[:size])
    x = SEED
    while len(out) < size:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out += struct.pack("<I", x)
    return bytes(out[:size])


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "res", "firmware.bin")
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 102700
    if size < 0:
        sys.exit("size must not be negative")
    with open(path, "wb") as f:
        f.write(sample_image(size))
    print(f"{path}: {size} bytes")


if __name__ == "__main__":
    main()
