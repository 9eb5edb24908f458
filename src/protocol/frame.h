// Frames on the wire and their CRC-16.
//
// Every request is laid out like a Modbus RTU frame: unit address, function
// code 0x2B, an operation byte of the boot loader's own, big-endian fields,
// and a CRC-16/MODBUS stored low byte first. Replies are read into the same
// buffer over the request; only their CRC and, for the region-CRC request,
// bytes 11-12 are ever looked at.
//
// Conventions: those of the protocol layer (engine.h).
#ifndef FWU_PROTOCOL_FRAME_H
#define FWU_PROTOCOL_FRAME_H

#include <stdint.h>

enum {
    UNIT_ADDRESS = 4,
    FRAME_FUNCTION = 0x2B,
    OP_PROGRAM_BLOCK = 0xF5,
    OP_REGION_CRC = 0xF6,
    OP_RESET = 0xF7,
    FRAME_CAPACITY = 1040,
    REGION_CRC_REQUEST_LEN = 13,
    BLOCK_REQUEST_OVERHEAD = 11,
    RESET_REQUEST_LEN = 5,
    // Shortest reply to the region-CRC request that reaches its CRC field
    // (bytes 11-12) and still ends in its own two CRC bytes.
    REGION_CRC_REPLY_MIN = 15,
    // Fewer bytes than this are not judged as a reply at all.
    REPLY_MIN = 4
};

// The one frame buffer: requests are built from byte 0, replies overwrite it
// from byte 0, and bytes beyond frame_len keep whatever was there before.
struct FrameBuffer {
    unsigned char bytes[FRAME_CAPACITY];
    int32_t frame_len;
};

// CRC-16/MODBUS of count bytes; 0xFFFF when count is 0 or negative.
uint16_t crc16(const unsigned char *bytes, int32_t count);

// CRC of the first frame_len - 2 bytes (0xFFFF when that is not positive).
uint16_t frame_crc(const FrameBuffer *frame);

// Stores frame_crc at positions frame_len-2 (low) and frame_len-1 (high).
// Does nothing when frame_len is not between 2 and FRAME_CAPACITY.
void seal_frame(FrameBuffer *frame);

// Request builders: lay out the frame from byte 0, set frame_len, seal it.
void build_region_crc_request(FrameBuffer *frame, uint32_t unit,
                              uint32_t address, uint32_t length);
// Returns -1 and leaves the buffer alone when n is negative or the frame would
// not fit the buffer (n > FRAME_CAPACITY - 11); 0 otherwise.
int build_block_request(FrameBuffer *frame, uint32_t unit, uint32_t address,
                        const unsigned char *data, int32_t n);
void build_reset_request(FrameBuffer *frame, uint32_t unit);

// 1 when the frame_len bytes in the buffer form a reply: at least REPLY_MIN
// bytes whose last two are the CRC (low byte first) of the rest. Nothing else
// of the reply is compared with the request.
int accept_reply(const FrameBuffer *frame);

// The same test on count bytes anywhere: at least REPLY_MIN of them, the last
// two the CRC (low byte first) of the rest.
int reply_bytes_ok(const unsigned char *bytes, int32_t count);

// When a read ended on a reply that passed but was only the start of a
// longer one, the rest of it arrives first in the next read. That rest can
// never pass on its own, nor together with the reply behind it (after a
// frame that passes, the CRC register is 0, while every frame's own CRC was
// computed from 0xFFFF). Returns the length of such a rest at the start of
// count bytes: the first k, leaving at least REPLY_MIN bytes after it, that
// brings the CRC register from 0 back to 0, so that the earlier bytes and
// these k make one longer frame that passes. 0 when there is none.
int32_t reply_tail_length(const unsigned char *bytes, int32_t count);

// Splits count bytes into whole frames back to back, each at least
// REPLY_MIN bytes and ending in its own CRC (after which the CRC register
// stands at 0), each as short as that allows. Returns how many (at most
// capacity), with their starts and lengths; 0 when the bytes are not such a
// run of frames.
int split_frames(const unsigned char *bytes, int32_t count, int32_t *starts, int32_t *lengths,
                 int capacity);

// The device's CRC in a region-CRC reply: 256 * byte[11] + byte[12].
uint16_t reply_region_crc(const FrameBuffer *frame);

#endif
