#!/usr/bin/env bash
# Writes the seed corpora into fuzz/corpus/: engine_fuzz's first (each seed
# is an 8-byte header (image and clock) and one control byte per read; see
# engine_fuzz.cpp and fuzz_link.h for the layout), then frame_fuzz's and
# image_fuzz's.
set -euo pipefail
out="$(dirname "$0")/corpus/engine"
mkdir -p "$out"

# Header: a 2048-byte pseudo-random image, padded, stale bytes kept, clock 1000.
h2048='\xff\x07\x19\x42\xe8\x03\x00\x00'

# Control bytes (low nibble = what the device sends, bits 4-6 = read time).
ack='\x03'          # 4-byte frame with a good CRC
good='\x05'         # region-CRC reply with the image's CRC
stop='\x00'         # in Done/Failed: do not press the button again

seed() { printf "$2" >"$out/$1"; }

# Link, two blocks, verify, reset: Done.
seed clean-update "$h2048$ack$ack$ack$good$ack$stop"

# The device reports another CRC: Failed. The operator presses the button
# again and the second update goes through.
seed wrong-crc "$h2048$ack$ack$ack\x04\x12\x34\x01$ack$ack$ack$good$ack$stop"

# A short verify reply with a good CRC while the stale buffer holds a perfect
# answer (header bits 1-2 = 1); then 5001 ms pass, the verify request is
# resent and answered properly.
seed short-verify '\xff\x07\x1b\x42\xe8\x03\x00\x00'"$ack$ack$ack"'\x02\x03\x04\x2b\xf6\x80\x89\x13'"$good$ack$stop"

# Line noise before the link: raw bytes, a split frame, an over-long frame,
# a nonsense read count, two acks in one read, then a frame split across
# two reads (both halves rejected) before the link holds.
seed noise "$h2048"'\x01\x06\xde\xad\xbe\xef\x00\x04\x17\x05\x04\x2b\xf6\x00\x00\x03\x28\x40\x19\xff\xff\xff\xff\x0c\x07\x02\x04\x2b\x02\x00'"$ack$ack$ack$good$ack$stop"

# An image of 1500 bytes left unpadded: the last block is short.
seed odd-size '\xdb\x05\x18\x07\x00\xf0\xff\xff'"$ack$ack$ack$good$ack$stop"

# The verify reply arrives in two pieces, then a longer good reply after a
# timeout; the reset ack comes after 100 ms without one.
seed split-verify '\xff\x03\x11\x00\x00\x00\x00\x00'"$ack$ack"'\x06\x07\x00\x80\x89\x13\x0b\x04\x01\x02\x03\x04\x50\x03'"$stop"

# frame_fuzz: frame_len (4 bytes LE), n for a block request (4 bytes LE),
# then the buffer's bytes.
out="$(dirname "$0")/corpus/frame"
mkdir -p "$out"
seed ack '\x04\x00\x00\x00\x02\x00\x00\x00\x04\x2b\x43\x6f'
seed bottom-of-range '\x01\x00\x00\x80\xff\xff\xff\xff\x00'
seed full-buffer '\x10\x04\x00\x00\x05\x04\x00\x00\x04\x2b\xf5'

# image_fuzz: a flags byte (bit 0 raw, bit 1 the vector check, bits 2-4 the
# format choice), then a file: Intel HEX with a gap and an agreeing overlap,
# S-records with S0 and S5, a small ELF32 ARM executable with two segments,
# and a raw image; then the kinds of file that tell text from raw: HEX with
# a UTF-8 byte-order mark, with a UTF-8 line, in UTF-16, with CR line ends
# and 255-byte records; S-records with CR line ends; raw images that start
# ':' and 'S1'; an ELF with NOLOAD sections inside its segment; and HEX
# forced as binary, a raw image forced as HEX.
out="$(dirname "$0")/corpus/image"
mkdir -p "$out"
python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]
vectors = struct.pack("<II", 0x20010000, 0x08004009)

def ihex(kind, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, kind]) + data
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\n"

def srec(kind, address, data, width=4):
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + data
    return f"S{kind}" + (body + bytes([~sum(body) & 0xFF])).hex().upper() + "\n"

hex_text = (ihex(4, 0, b"\x08\x00") + ihex(0, 0x4000, vectors + b"\xaa" * 8)
            + ihex(0, 0x4008, b"\xaa" * 4) + ihex(0, 0x4100, b"\x55" * 16) + ihex(5, 0, vectors[4:])
            + ihex(1, 0, b""))
srec_text = (srec(0, 0, b"seed", 2) + srec(3, 0x08004000, vectors + b"\x01\x02")
             + srec(3, 0x08004010, b"\x03" * 8) + srec(5, 2, b"", 2) + srec(7, 0x08004009, b""))

def make_elf(segments, nobits=()):
    # Program headers, the segments' bytes, then (with nobits) a section name
    # table and section headers: [1] .shstrtab, then NOBITS (address, size).
    elf = bytearray(52 + 32 * len(segments))
    elf[0:7] = b"\x7fELF\x01\x01\x01"
    struct.pack_into("<HHIIIIIHHHHHH", elf, 16, 2, 40, 1, 0x08004009, 52, 0, 0, 52, 32,
                     len(segments), 40, 0, 0)
    for i, (paddr, data) in enumerate(segments):
        struct.pack_into("<IIIIIIII", elf, 52 + 32 * i, 1, len(elf), paddr, paddr, len(data),
                         len(data), 5, 4)
        elf += data
    if nobits:
        names = b"\0.shstrtab\0.noinit\0"
        strtab = len(elf)
        elf += names
        struct.pack_into("<I", elf, 32, len(elf))
        struct.pack_into("<HH", elf, 48, 2 + len(nobits), 1)
        elf += bytes(40) + struct.pack("<IIIIIIIIII", 1, 3, 0, 0, strtab, len(names), 0, 0, 1, 0)
        for address, size in nobits:
            elf += struct.pack("<IIIIIIIIII", 11, 8, 3, address, 0, size, 0, 0, 1, 0)
    return bytes(elf)

elf = make_elf([(0x08004000, vectors + b"\xe7\xfe"), (0x08004800, b"\x44\x33\x22\x11")])
noload = make_elf([(0x08004000, vectors + bytes(16) + b"\xe7\xfe")],
                  [(0x08004008, 16), (0x08004004, 8), (0x0800401a, 64)])
long_hex = ihex(4, 0, b"\x08\x00") + ihex(0, 0x4000, vectors + bytes(range(247))) + ihex(1, 0, b"")
bom_hex = b"\xef\xbb\xbf" + hex_text.encode()
utf8_hex = (ihex(4, 0, b"\x08\x00") + "; built by Jos\u00e9\n" + hex_text).encode()
raw_colon = b":\x10\x00\x20" + vectors[4:] + bytes(range(32))
for name, data in (("hex", b"\x02" + hex_text.encode()), ("srec", b"\x02" + srec_text.encode()),
                   ("elf", b"\x02" + elf), ("raw", b"\x03" + vectors + bytes(range(64))),
                   ("hex-bom", b"\x02" + bom_hex), ("hex-utf8-line", b"\x02" + utf8_hex),
                   ("hex-utf16", b"\x02" + b"\xff\xfe" + hex_text.encode("utf-16-le")),
                   ("hex-cr", b"\x02" + hex_text.replace("\n", "\r").encode()),
                   ("srec-cr", b"\x02" + srec_text.replace("\n", "\r").encode()),
                   ("hex-255", b"\x02" + long_hex.encode()),
                   ("raw-colon", b"\x00" + raw_colon), ("raw-s1", b"\x00S1" + raw_colon[2:]),
                   ("elf-noload", b"\x02" + noload),
                   ("hex-forced-bin", b"\x04" + hex_text.encode()),
                   ("raw-forced-hex", b"\x08" + raw_colon)):
    open(f"{out}/{name}", "wb").write(data)
PY
