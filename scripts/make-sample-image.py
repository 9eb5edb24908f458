#!/usr/bin/env python3
"""Writes the sample firmware image that the build embeds by default.

The image is our own: a Cortex-M vector table as a real application starts
with one (initial stack pointer in SRAM, reset vector just past the header,
odd for Thumb code), so the tool's vector check accepts it; a 32-byte header
that is easy to spot in a hex dump or in the simulator's flash dump; then a
deterministic stream of pseudo-random bytes (xorshift32), so that every
block differs and a misplaced or repeated block changes the CRC. It is no
device's firmware: the command line writes it only with --allow-sample. Its size, 102,700 bytes, is
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
BASE = 0x08004000
INITIAL_SP = 0x20010000      # the top of 64 KiB of SRAM
VECTORS = 8                  # initial SP, reset vector
HEADER = 32
RESET = BASE + VECTORS + HEADER + 1  # the first byte after the header, Thumb


def sample_image(size):
    vectors = struct.pack("<II", INITIAL_SP, RESET)
    header = vectors + MAGIC + struct.pack(">IIII", 1, size, SEED, 0)  # version, size, seed, reserved
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
