// libFuzzer target: the update engine against a boot loader whose every
// answer, and the time every read takes, comes from the fuzz input.
//
// Input layout:
//
//   bytes 0-1  image length, little-endian: 1 + value % FUZZ_MAX_IMAGE
//   byte  2    bit 0: pad the image with zeros to whole blocks, as the image
//                     layer does (otherwise the last block is short)
//              bits 1-2: StaleMode (3 counts as 0)
//              bits 3-4: image contents: zeros, 0xFF, a ramp, pseudo-random
//   byte  3    seed for the contents, and the fill byte of STALE_FILL
//   bytes 4-7  the tick counter at the start, little-endian
//   then       one control byte per read (fuzz_link.h); after a tick in
//              Done or Failed, one byte whose bit 0 presses "Update Device"
//              again (otherwise the run ends)
//
// After every tick the engine's record and what it did on the link are
// checked against what the device actually delivered; any broken property
// aborts. Set FWU_FUZZ_TRACE=1 to see the engine's trace while replaying.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_link.h"
#include "protocol/engine.h"

namespace {

enum { HEADER_LEN = 8, TICK_MS = 10, MAX_TICKS = 1 << 16 };

DeviceLink link;

// The engine's record as it was before a tick.
struct Before {
    uint32_t state;
    uint32_t now;
    uint32_t send_time;
    uint32_t timeout_ms;
    int32_t offset;
};

// What the run has seen the device tell the engine.
struct Seen {
    int verified;  // the last verify reply carried the image's CRC
};

int waiting(uint32_t s)
{
    return s == AwaitLink || s == AwaitBlockAck || s == AwaitVerify || s == AwaitResetAck;
}

int finished(uint32_t s)
{
    return s == Done || s == Failed;
}

int allowed(uint32_t from, uint32_t to)
{
    switch (from) {
    case Start:
        return to == Contact;
    case Contact:
        return to == AwaitLink;
    case AwaitLink:
        return to == AwaitLink || to == AwaitBlockAck;
    case AwaitBlockAck:
        return to == AwaitBlockAck || to == AwaitVerify;
    case AwaitVerify:
        return to == AwaitVerify || to == AwaitResetAck || to == Failed;
    case AwaitResetAck:
        return to == AwaitResetAck || to == Done;
    default:
        return to == from;  // Failed and Done are never left by a tick
    }
}

// The acceptance test, judged on exactly the bytes the read delivered.
int delivered_reply(const TickLog *t)
{
    int32_t n = t->delivered_len;
    if (t->returned != n || n < REPLY_MIN)
        return 0;
    uint16_t stored = (uint16_t)(t->delivered[n - 2] | t->delivered[n - 1] << 8);
    return reference_crc16(t->delivered, (size_t)n - 2) == stored;
}

void check_record(const DeviceLink *l)
{
    // Fields the engine sets up for itself or must leave alone.
    FUZZ_REQUIRE(l->image == fz.image && l->image_size == fz.image_size);
    FUZZ_REQUIRE(l->base == IMAGE_BASE && l->unit_address == UNIT_ADDRESS);
    FUZZ_REQUIRE(l->read_capacity == FRAME_CAPACITY);
    // The invariants that keep every block inside the image and the buffer.
    FUZZ_REQUIRE(l->offset >= 0 && l->offset <= l->image_size);
    FUZZ_REQUIRE(l->block_len > 0 && l->block_len <= BLOCK_SIZE);
    // Contact builds no frame; from the first probe on, frame_len is a length.
    if (l->state != Start && l->state != Contact)
        FUZZ_REQUIRE(l->frame.frame_len >= 0 && l->frame.frame_len <= FRAME_CAPACITY);
    if (l->state == AwaitBlockAck)
        FUZZ_REQUIRE(l->block_len <= l->image_size - l->offset);
    if (l->state == AwaitVerify || l->state == AwaitResetAck || l->state == Done ||
        l->state == Failed)
        FUZZ_REQUIRE(l->offset == l->image_size);
    if (l->state == Contact || l->state == AwaitLink)
        FUZZ_REQUIRE(l->timeout_ms == LINK_TIMEOUT_MS);
    else
        FUZZ_REQUIRE(l->timeout_ms == TRANSFER_TIMEOUT_MS);
}

void check_tick(const Before *b, const DeviceLink *l, const TickLog *t, Seen *seen)
{
    uint32_t from = b->state;
    uint32_t to = l->state;
    FUZZ_REQUIRE(allowed(from, to));
    check_record(l);

    // One read per tick in a waiting state, none elsewhere; the request is
    // resent first exactly when it is overdue (equal is not overdue).
    if (waiting(from)) {
        FUZZ_REQUIRE(t->reads == 1);
        uint32_t limit = from == AwaitResetAck ? (uint32_t)RESET_RETRY_MS : b->timeout_ms;
        int overdue = (uint32_t)(b->now - b->send_time) > limit;
        FUZZ_REQUIRE(t->writes_before_read == overdue);
    } else {
        FUZZ_REQUIRE(t->reads == 0);
        FUZZ_REQUIRE(t->writes == (from == Contact ? 1 : 0));
    }
    int linked = from == AwaitLink && to == AwaitBlockAck;
    FUZZ_REQUIRE(t->purges == linked && t->flushes == linked);

    // Every decision rests on the bytes delivered, and only on them.
    int accepted = delivered_reply(t);
    switch (from) {
    case AwaitLink:
        FUZZ_REQUIRE(linked == accepted);
        if (linked)
            FUZZ_REQUIRE(l->offset == 0);
        break;
    case AwaitBlockAck: {
        int advanced = to == AwaitVerify || l->offset != b->offset;
        FUZZ_REQUIRE(advanced == accepted);
        if (advanced) {
            // The ack counts for the block outstanding when it was read.
            FUZZ_REQUIRE(t->read_block_offset == b->offset);
            FUZZ_REQUIRE(l->offset == b->offset + t->read_block_len);
            FUZZ_REQUIRE((to == AwaitVerify) == (l->offset == l->image_size));
        }
        break;
    }
    case AwaitVerify: {
        int answered = accepted && t->delivered_len >= REGION_CRC_REPLY_MIN;
        FUZZ_REQUIRE((to != AwaitVerify) == answered);
        if (answered) {
            uint16_t remote = (uint16_t)(t->delivered[11] << 8 | t->delivered[12]);
            FUZZ_REQUIRE((to == AwaitResetAck) == (remote == fz.image_crc));
            seen->verified = to == AwaitResetAck;
        }
        break;
    }
    case AwaitResetAck:
        FUZZ_REQUIRE((to == Done) == accepted);
        break;
    default:
        break;
    }
    // The point of it all: no Done without the device confirming the image.
    if (to == Done || to == AwaitResetAck)
        FUZZ_REQUIRE(seen->verified);
}

void fill_image(unsigned char *image, int32_t len, int32_t size, int kind, unsigned char seed)
{
    uint32_t x = 0x9E3779B9u ^ seed;
    for (int32_t i = 0; i < len; i++) {
        switch (kind) {
        case 0:
            image[i] = 0;
            break;
        case 1:
            image[i] = 0xFF;
            break;
        case 2:
            image[i] = (unsigned char)(i * (seed | 1) + (i >> 8));
            break;
        default:
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            image[i] = (unsigned char)x;
            break;
        }
    }
    memset(image + len, 0, (size_t)(size - len));
}

void press_button(Seen *seen)
{
    link.state = Start;
    seen->verified = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The trace is for people; at thousands of runs a second it only costs.
    const char *keep = getenv("FWU_FUZZ_TRACE");
    if (!keep || strcmp(keep, "1") != 0) {
        if (!freopen("/dev/null", "w", stdout))
            return 0;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER_LEN)
        return 0;
    int32_t len = 1 + (int32_t)((data[0] | data[1] << 8) % FUZZ_MAX_IMAGE);
    int pad = data[2] & 1;
    int stale = (data[2] >> 1) & 3;
    int contents = (data[2] >> 3) & 3;
    unsigned char seed = data[3];
    uint32_t start = (uint32_t)data[4] | (uint32_t)data[5] << 8 | (uint32_t)data[6] << 16 |
                     (uint32_t)data[7] << 24;

    int32_t image_size = pad ? (len + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE : len;
    // Exactly image_size bytes on the heap, so a read past the image is caught.
    unsigned char *image = (unsigned char *)malloc((size_t)image_size);
    if (!image)
        return 0;
    fill_image(image, len, image_size, contents, seed);

    memset(&link, 0x5A, sizeof link);  // nothing may rely on a zeroed record
    init_link(&link);
    link.image = image;
    link.image_size = image_size;
    link.base = IMAGE_BASE;
    link.state = Start;

    fz.in.data = data;
    fz.in.size = size;
    fz.in.pos = HEADER_LEN;
    fuzz_link_begin(&link, image, image_size, start, stale == 3 ? STALE_KEEP : stale, seed);

    Seen seen = {0};
    for (int ticks = 0; ticks < MAX_TICKS; ticks++) {
        if (input_used_up(&fz.in) && !finished(link.state))
            break;
        Before b = {link.state, fz.now, link.send_time, link.timeout_ms, link.offset};
        fuzz_tick_begin();
        step_update(&link);
        check_tick(&b, &link, &fz.tick, &seen);

        if (fz.tick.press_button) {
            press_button(&seen);
        } else if (finished(b.state)) {
            // One idle tick in Done or Failed has been checked; a byte
            // decides whether the operator starts over.
            unsigned char again = 0;
            if (take_byte(&fz.in, &again) != 0 || !(again & 1))
                break;
            press_button(&seen);
        }
        fz.now += TICK_MS;
    }
    free(image);
    return 0;
}
