#!/usr/bin/env python3
"""Writes the sample firmware image that the build embeds by default.

The image is our own: a 32-byte header that is easy to spot in a hex dump
or in the simulator's flash dump, followed by a deterministic stream of
pseudo-random bytes (xorshift32), so that every block differs and a
misplaced or repeated block changes the CRC. Its size, 102,700 bytes, is
not a multiple of 1024, so the tool's zero padding of the last block is
exercised on every update.

Usage: scripts/make-sample-image.py [OUTPUT [SIZE]]
       (defaults: res/firmware.bin, 102700; --help for more)
"""
import argparse
import os
import struct

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
    ap = argparse.ArgumentParser(
        description="Writes the sample firmware image that the build embeds by default "
                    "(the same bytes every time).")
    ap.add_argument("output", nargs="?", default=os.path.join(root, "res", "firmware.bin"),
                    help="file to write (default: res/firmware.bin)")
    ap.add_argument("size", nargs="?", type=int, default=102700,
                    help="image size in bytes (default: 102700)")
    args = ap.parse_args()
    # argparse takes a lone "-" or "-5" as a value; neither is meant as a file.
    if args.output.startswith("-"):
        ap.error(f"the output path may not start with '-': {args.output!r}")
    if args.size < 0:
        ap.error("size must not be negative")
    with open(args.output, "wb") as f:
        f.write(sample_image(args.size))
    print(f"{args.output}: {args.size} bytes")


if __name__ == "__main__":
    main()
