#!/usr/bin/env bash
# Writes the seed corpus of engine_fuzz into fuzz/corpus/engine. Each seed is
# an 8-byte header (image and clock) and one control byte per read; see
# engine_fuzz.cpp and fuzz_link.h for the layout.
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
