#include "protocol/frame.h"

#include <string.h>

// The CRC-16/MODBUS register after count more bytes, from crc.
static uint16_t crc16_from(uint32_t crc, const unsigned char *bytes, int32_t count)
{
    for (int32_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) {
            if (crc & 1)
                crc = (crc >> 1) ^ 0xA001;
            else
                crc >>= 1;
        }
    }
    return (uint16_t)crc;
}

uint16_t crc16(const unsigned char *bytes, int32_t count)
{
    return crc16_from(0xFFFF, bytes, count);
}

uint16_t frame_crc(const FrameBuffer *frame)
{
    int32_t n = frame->frame_len;
    if (n > FRAME_CAPACITY)
        n = FRAME_CAPACITY;
    // Nothing before the CRC bytes; also keeps n - 2 from overflowing for
    // lengths near the bottom of the range.
    if (n <= 2)
        return 0xFFFF;
    return crc16(frame->bytes, n - 2);
}

void seal_frame(FrameBuffer *frame)
{
    int32_t n = frame->frame_len;
    if (n < 2 || n > FRAME_CAPACITY)
        return;
    uint16_t crc = frame_crc(frame);
    frame->bytes[n - 2] = (unsigned char)(crc & 0xFF);
    frame->bytes[n - 1] = (unsigned char)(crc >> 8);
}

static void put_be32(unsigned char *at, uint32_t value)
{
    at[0] = (unsigned char)(value >> 24);
    at[1] = (unsigned char)(value >> 16);
    at[2] = (unsigned char)(value >> 8);
    at[3] = (unsigned char)value;
}

static void put_header(FrameBuffer *frame, uint32_t unit, unsigned char op)
{
    frame->bytes[0] = (unsigned char)(unit & 0xFF);
    frame->bytes[1] = FRAME_FUNCTION;
    frame->bytes[2] = op;
}

void build_region_crc_request(FrameBuffer *frame, uint32_t unit,
                              uint32_t address, uint32_t length)
{
    put_header(frame, unit, OP_REGION_CRC);
    put_be32(frame->bytes + 3, address);
    put_be32(frame->bytes + 7, length);
    frame->frame_len = REGION_CRC_REQUEST_LEN;
    seal_frame(frame);
}

int build_block_request(FrameBuffer *frame, uint32_t unit, uint32_t address,
                        const unsigned char *data, int32_t n)
{
    if (n < 0 || n > FRAME_CAPACITY - BLOCK_REQUEST_OVERHEAD)
        return -1;
    put_header(frame, unit, OP_PROGRAM_BLOCK);
    put_be32(frame->bytes + 3, address);
    frame->bytes[7] = (unsigned char)(n >> 8);
    frame->bytes[8] = (unsigned char)n;
    if (n > 0)
        memcpy(frame->bytes + 9, data, (size_t)n);
    frame->frame_len = n + BLOCK_REQUEST_OVERHEAD;
    seal_frame(frame);
    return 0;
}

void build_reset_request(FrameBuffer *frame, uint32_t unit)
{
    put_header(frame, unit, OP_RESET);
    frame->frame_len = RESET_REQUEST_LEN;
    seal_frame(frame);
}

int accept_reply(const FrameBuffer *frame)
{
    int32_t n = frame->frame_len;
    if (n < REPLY_MIN || n > FRAME_CAPACITY)
        return 0;
    return reply_bytes_ok(frame->bytes, n);
}

int reply_bytes_ok(const unsigned char *bytes, int32_t count)
{
    if (bytes == NULL || count < REPLY_MIN)
        return 0;
    uint16_t stored = (uint16_t)(bytes[count - 2] | (bytes[count - 1] << 8));
    return crc16(bytes, count - 2) == stored;
}

int32_t reply_tail_length(const unsigned char *bytes, int32_t count)
{
    // After a frame that passes, the register stands at 0; the rest of a
    // longer frame that passes too brings it back to 0.
    uint32_t crc = 0;
    for (int32_t k = 1; bytes != NULL && k <= count - REPLY_MIN; k++) {
        crc = crc16_from(crc, bytes + k - 1, 1);
        if (crc == 0)
            return k;
    }
    return 0;
}

int split_frames(const unsigned char *bytes, int32_t count, int32_t *starts, int32_t *lengths,
                 int capacity)
{
    int frames = 0;
    int32_t at = 0;
    while (bytes != NULL && at < count) {
        if (frames == capacity)
            return 0;
        uint32_t crc = 0xFFFF;
        int32_t len = 0;
        for (int32_t k = 1; at + k <= count && len == 0; k++) {
            crc = crc16_from(crc, bytes + at + k - 1, 1);
            if (crc == 0 && k >= REPLY_MIN)
                len = k;
        }
        if (len == 0)
            return 0;
        starts[frames] = at;
        lengths[frames] = len;
        ++frames;
        at += len;
    }
    return frames;
}

uint16_t reply_region_crc(const FrameBuffer *frame)
{
    return (uint16_t)(256u * frame->bytes[11] + frame->bytes[12]);
}
