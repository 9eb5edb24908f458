// libFuzzer target: the frame operations on any frame buffer a caller could
// hand them, whatever its length field says.
//
// Input layout:
//
//   bytes 0-3  frame_len, little-endian, any 32-bit value
//   bytes 4-7  n for build_block_request, little-endian, any 32-bit value
//   the rest   the buffer's bytes (the remainder of the 1040 is 0xA5), and
//              also the data of the block request
//
// Each operation is compared with a model computed apart from it.
// reply_tail_length is also held to what makes dropping such a rest safe.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_check.h"
#include "protocol/frame.h"

namespace {

int32_t read_le32(const uint8_t *p)
{
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                     (uint32_t)p[3] << 24);
}

// CRC of the first frame_len - 2 bytes, as far as the buffer reaches.
uint16_t model_frame_crc(const FrameBuffer *f)
{
    int64_t n = f->frame_len;
    if (n > FRAME_CAPACITY)
        n = FRAME_CAPACITY;
    return n - 2 > 0 ? reference_crc16(f->bytes, (size_t)(n - 2)) : 0xFFFF;
}

int model_accept(const FrameBuffer *f)
{
    int32_t n = f->frame_len;
    if (n < REPLY_MIN || n > FRAME_CAPACITY)
        return 0;
    uint16_t stored = (uint16_t)(f->bytes[n - 2] | f->bytes[n - 1] << 8);
    return reference_crc16(f->bytes, (size_t)n - 2) == stored;
}

// The CRC-16/MODBUS register after count bytes from a given start value.
uint16_t model_register(uint16_t crc, const uint8_t *bytes, int32_t count)
{
    for (int32_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

// The rest of a longer reply at the start of the bytes: the first length
// that brings the register from 0 back to 0, leaving at least REPLY_MIN
// bytes. It can never pass alone, nor together with a reply behind it.
void check_reply_tail(const uint8_t *bytes, int32_t count)
{
    int32_t rest = reply_tail_length(bytes, count);
    // The first t with the register back at 0, if any.
    int32_t first = 0;
    uint16_t crc = 0;
    for (int32_t t = 1; t <= count - REPLY_MIN && first == 0; t++) {
        crc = model_register(crc, bytes + t - 1, 1);
        if (crc == 0)
            first = t;
    }
    FUZZ_REQUIRE(rest == first);
    if (rest == 0)
        return;
    FUZZ_REQUIRE(!reply_bytes_ok(bytes, rest));
    if (reply_bytes_ok(bytes + rest, count - rest))
        FUZZ_REQUIRE(!reply_bytes_ok(bytes, count));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    // On the heap and exactly one record long, so a read past it is caught.
    FrameBuffer *f = (FrameBuffer *)malloc(sizeof *f);
    FrameBuffer *copy = (FrameBuffer *)malloc(sizeof *copy);
    if (!f || !copy)
        abort();
    size_t body = size - 8;
    if (body > FRAME_CAPACITY)
        body = FRAME_CAPACITY;
    memset(f->bytes, 0xA5, sizeof f->bytes);
    memcpy(f->bytes, data + 8, body);
    f->frame_len = read_le32(data);
    int32_t n = read_le32(data + 4);

    int32_t k = f->frame_len < (int32_t)body ? f->frame_len : (int32_t)body;
    FUZZ_REQUIRE(crc16(f->bytes, k) == (k > 0 ? reference_crc16(f->bytes, (size_t)k) : 0xFFFF));
    FUZZ_REQUIRE(frame_crc(f) == model_frame_crc(f));
    FUZZ_REQUIRE(accept_reply(f) == model_accept(f));
    FUZZ_REQUIRE(reply_region_crc(f) == (f->bytes[11] << 8 | f->bytes[12]));
    FUZZ_REQUIRE(reply_bytes_ok(f->bytes, k) == (k >= REPLY_MIN && model_register(0xFFFF, f->bytes, k) == 0));
    check_reply_tail(f->bytes, (int32_t)body);

    // A run of frames split back to back covers the bytes exactly, and each
    // frame passes on its own and has no shorter frame at its start.
    int32_t starts[8], lengths[8];
    int frames = split_frames(f->bytes, k, starts, lengths, 8);
    FUZZ_REQUIRE(frames >= 0 && frames <= 8);
    int32_t at = 0;
    for (int i = 0; i < frames; i++) {
        FUZZ_REQUIRE(starts[i] == at && lengths[i] >= REPLY_MIN);
        FUZZ_REQUIRE(reply_bytes_ok(f->bytes + at, lengths[i]));
        for (int32_t shorter = REPLY_MIN; shorter < lengths[i]; shorter++)
            FUZZ_REQUIRE(!reply_bytes_ok(f->bytes + at, shorter));
        at += lengths[i];
    }
    FUZZ_REQUIRE(frames == 0 || at == k);

    // Sealing writes the CRC where frame_len says, and only when it fits.
    memcpy(copy, f, sizeof *f);
    seal_frame(copy);
    int32_t len = f->frame_len;
    if (len >= 2 && len <= FRAME_CAPACITY) {
        uint16_t crc = model_frame_crc(f);
        FUZZ_REQUIRE(copy->bytes[len - 2] == (crc & 0xFF) && copy->bytes[len - 1] == (crc >> 8));
        FUZZ_REQUIRE(memcmp(copy->bytes, f->bytes, (size_t)len - 2) == 0);
        FUZZ_REQUIRE(memcmp(copy->bytes + len, f->bytes + len, (size_t)(FRAME_CAPACITY - len)) == 0);
        if (len >= REPLY_MIN)
            FUZZ_REQUIRE(accept_reply(copy));
    } else {
        FUZZ_REQUIRE(memcmp(copy, f, sizeof *f) == 0);
    }

    // A block request either fits the buffer whole or leaves it alone. The
    // data is the input itself, so n never reaches beyond what is there.
    memcpy(copy, f, sizeof *f);
    int32_t avail = (int32_t)(size - 8 > (size_t)INT32_MAX ? INT32_MAX : size - 8);
    int32_t want = n;
    if (want > avail && want <= FRAME_CAPACITY - BLOCK_REQUEST_OVERHEAD)
        want = avail;
    int rc = build_block_request(copy, UNIT_ADDRESS, 0x08004000u, data + 8, want);
    if (want < 0 || want > FRAME_CAPACITY - BLOCK_REQUEST_OVERHEAD) {
        FUZZ_REQUIRE(rc == -1);
        FUZZ_REQUIRE(memcmp(copy, f, sizeof *f) == 0);
    } else {
        FUZZ_REQUIRE(rc == 0);
        FUZZ_REQUIRE(copy->frame_len == want + BLOCK_REQUEST_OVERHEAD);
        FUZZ_REQUIRE(copy->bytes[7] == (want >> 8) && copy->bytes[8] == (want & 0xFF));
        FUZZ_REQUIRE(memcmp(copy->bytes + 9, data + 8, (size_t)want) == 0);
        FUZZ_REQUIRE(accept_reply(copy));
    }

    free(copy);
    free(f);
    return 0;
}
