#include "fuzz_link.h"

#include <string.h>

#include "protocol/report.h"
#include "serial/transport.h"

FuzzLink fz;

namespace {

// How long a read takes, by bits 4-6 of its control byte. Around the 100 ms
// and 5000 ms limits so that resends on either side of them are common.
const uint32_t ELAPSED_MS[8] = {0, 1, 20, 90, 100, 101, 4990, 5001};

// Staging area for one read: what was still on the line, then the new reply.
unsigned char stage[FUZZ_MAX_PENDING + 2 * FRAME_CAPACITY];
int32_t stage_len;

void stage_bytes(const unsigned char *bytes, int32_t count)
{
    if (count > (int32_t)sizeof stage - stage_len)
        count = (int32_t)sizeof stage - stage_len;
    if (count > 0) {
        memcpy(stage + stage_len, bytes, (size_t)count);
        stage_len += count;
    }
}

// Copies up to want bytes of the input into out; returns how many there were.
int32_t take_bytes(unsigned char *out, int32_t want)
{
    int32_t got = 0;
    while (got < want && take_byte(&fz.in, &out[got]) == 0)
        got++;
    return got;
}

unsigned char take_or_zero(void)
{
    unsigned char b = 0;
    take_byte(&fz.in, &b);
    return b;
}

void stage_sealed(const unsigned char *body, int32_t count)
{
    uint16_t crc = reference_crc16(body, (size_t)count);
    unsigned char tail[2] = {(unsigned char)(crc & 0xFF), (unsigned char)(crc >> 8)};
    stage_bytes(body, count);
    stage_bytes(tail, 2);
}

// The 13 bytes before the CRC of a region-CRC reply carrying crc.
void region_crc_body(unsigned char body[13], uint16_t crc)
{
    memset(body, 0, 13);
    body[0] = UNIT_ADDRESS;
    body[1] = FRAME_FUNCTION;
    body[2] = OP_REGION_CRC;
    body[11] = (unsigned char)(crc >> 8);
    body[12] = (unsigned char)(crc & 0xFF);
}

void stage_region_crc(uint16_t crc)
{
    unsigned char body[13];
    region_crc_body(body, crc);
    stage_sealed(body, 13);
}

void stage_ack(void)
{
    const unsigned char body[2] = {UNIT_ADDRESS, FRAME_FUNCTION};
    stage_sealed(body, 2);
}

// Fills the buffer beyond the bytes a read returned. A sound engine decides
// nothing on these bytes, so making them tempting must change nothing.
void leave_stale(unsigned char *buffer, uint32_t from, uint32_t capacity)
{
    if (fz.stale_mode == STALE_TEMPT) {
        unsigned char good[15];
        region_crc_body(good, fz.image_crc);
        uint16_t crc = reference_crc16(good, 13);
        good[13] = (unsigned char)(crc & 0xFF);
        good[14] = (unsigned char)(crc >> 8);
        for (uint32_t i = from; i < capacity; i++)
            buffer[i] = i < sizeof good ? good[i] : 0;
    } else if (fz.stale_mode == STALE_FILL && from < capacity) {
        memset(buffer + from, fz.stale_fill, capacity - from);
    }
}

void check_status_text(const char *text)
{
    FUZZ_REQUIRE(strlen(text) < STATUS_TEXT_LIMIT);
}

}  // namespace

int take_byte(FuzzInput *in, unsigned char *out)
{
    if (in->pos >= in->size)
        return -1;
    *out = in->data[in->pos++];
    return 0;
}

int input_used_up(const FuzzInput *in)
{
    return in->pos >= in->size;
}

void fuzz_tick_begin(void)
{
    fz.tick.reads = 0;
    fz.tick.writes = 0;
    fz.tick.writes_before_read = 0;
    fz.tick.purges = 0;
    fz.tick.flushes = 0;
    fz.tick.press_button = 0;
    fz.tick.returned = 0;
    fz.tick.delivered_len = 0;
    fz.tick.read_block_offset = -1;
    fz.tick.read_block_len = 0;
}

namespace {

uint32_t fuzz_now(void *context)
{
    FUZZ_REQUIRE(context == &fz);
    return fz.now;
}

void fuzz_pause(void *context, uint32_t ms)
{
    FUZZ_REQUIRE(context == &fz);
    fz.now += ms;
}

int32_t fuzz_read(void *context, unsigned char *buffer, uint32_t capacity)
{
    FUZZ_REQUIRE(context == &fz);
    // The engine reads only into its own frame buffer, and never past it.
    FUZZ_REQUIRE(buffer == fz.link->frame.bytes);
    FUZZ_REQUIRE(capacity > 0 && capacity <= FRAME_CAPACITY);
    fz.tick.reads++;
    fz.tick.read_block_offset = fz.block_offset;
    fz.tick.read_block_len = fz.block_len;

    stage_len = 0;
    stage_bytes(fz.pending, fz.pending_len);
    int32_t cut = -1;  // where a split reply stops for this read
    int32_t bad_count = 0;

    unsigned char control = REPLY_NOTHING;
    uint32_t elapsed = READ_TOTAL_MS;
    if (take_byte(&fz.in, &control) == 0) {
        elapsed = ELAPSED_MS[(control >> 4) & 7];
        if (control & 0x80) {
            elapsed += take_or_zero();
            elapsed += (uint32_t)take_or_zero() << 8;
        }
    }

    unsigned char body[FRAME_CAPACITY + 256];
    switch (control & 0x0F) {
    case REPLY_RAW: {
        int32_t n = take_bytes(body, take_or_zero());
        stage_bytes(body, n);
        break;
    }
    case REPLY_SEALED: {
        int32_t n = take_bytes(body, take_or_zero());
        stage_sealed(body, n);
        break;
    }
    case REPLY_ACK:
        stage_ack();
        break;
    case REPLY_REGION_CRC: {
        uint16_t crc = (uint16_t)(take_or_zero() << 8);
        crc = (uint16_t)(crc | take_or_zero());
        stage_region_crc(crc);
        break;
    }
    case REPLY_GOOD_CRC:
        stage_region_crc(fz.image_crc);
        break;
    case REPLY_SPLIT_GOOD_CRC:
        cut = stage_len + take_or_zero() % 16;
        stage_region_crc(fz.image_crc);
        break;
    case REPLY_SPLIT_SEALED: {
        int32_t n = take_bytes(body, take_or_zero());
        cut = stage_len + take_or_zero() % (n + 3);
        stage_sealed(body, n);
        break;
    }
    case REPLY_LONG_SEALED: {
        unsigned char x = take_or_zero();
        int32_t n = BLOCK_SIZE + x;
        for (int32_t i = 0; i < n; i++)
            body[i] = (unsigned char)(i + x);
        stage_sealed(body, n);
        break;
    }
    case REPLY_BAD_COUNT: {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v |= (uint32_t)take_or_zero() << (8 * i);
        bad_count = (int32_t)v;
        // Only counts a real read could never return.
        if (bad_count >= 0 && (uint32_t)bad_count <= capacity)
            bad_count = -1 - bad_count;
        break;
    }
    case REPLY_PRESS_BUTTON:
        fz.tick.press_button = 1;
        break;
    case REPLY_GOOD_CRC_LONG: {
        region_crc_body(body, fz.image_crc);
        int32_t n = take_bytes(body + 13, take_or_zero());
        stage_sealed(body, 13 + n);
        break;
    }
    case REPLY_TWO_ACKS:
        stage_ack();
        stage_ack();
        break;
    default:
        break;
    }
    fz.now += elapsed;

    if (bad_count != 0) {
        // A misbehaving driver: nothing read, nonsense returned. The line
        // keeps what was on it.
        leave_stale(buffer, 0, capacity);
        fz.tick.returned = bad_count;
        return bad_count;
    }

    int32_t n = stage_len;
    if (cut >= 0 && cut < n)
        n = cut;
    if ((uint32_t)n > capacity)
        n = (int32_t)capacity;
    memcpy(buffer, stage, (size_t)n);
    leave_stale(buffer, (uint32_t)n, capacity);
    memcpy(fz.tick.delivered, stage, (size_t)n);
    fz.tick.delivered_len = n;
    fz.tick.returned = n;

    int32_t rest = stage_len - n;
    if (rest > FUZZ_MAX_PENDING)
        rest = FUZZ_MAX_PENDING;
    memmove(fz.pending, stage + n, (size_t)rest);
    fz.pending_len = rest;
    return n;
}

// The command line's reads and writes: the same device, read in the same
// pieces, which never vanishes. (The engine is fuzzed with the dialog's reads.)
int32_t fuzz_read_until(void *context, unsigned char *buffer, uint32_t capacity, ReplyCheck,
                        void *, uint32_t)
{
    return fuzz_read(context, buffer, capacity);
}

int fuzz_lost(void *)
{
    return 0;
}

int32_t fuzz_write(void *context, const unsigned char *bytes, int32_t count)
{
    const DeviceLink *link = fz.link;
    FUZZ_REQUIRE(context == &fz);
    // Requests go out from the frame buffer, whole and well-formed.
    FUZZ_REQUIRE(bytes == link->frame.bytes);
    FUZZ_REQUIRE(count == link->frame.frame_len);
    FUZZ_REQUIRE(count >= RESET_REQUEST_LEN && count <= LARGEST_REQUEST);
    FUZZ_REQUIRE(bytes[0] == UNIT_ADDRESS && bytes[1] == FRAME_FUNCTION);
    uint16_t crc = reference_crc16(bytes, (size_t)count - 2);
    FUZZ_REQUIRE(bytes[count - 2] == (crc & 0xFF) && bytes[count - 1] == (crc >> 8));

    // The state field still holds the state being left.
    uint32_t state = link->state;
    uint32_t address = (uint32_t)bytes[3] << 24 | (uint32_t)bytes[4] << 16 |
                       (uint32_t)bytes[5] << 8 | bytes[6];
    switch (bytes[2]) {
    case OP_REGION_CRC: {
        FUZZ_REQUIRE(count == REGION_CRC_REQUEST_LEN);
        FUZZ_REQUIRE(address == link->base);
        uint32_t length = (uint32_t)bytes[7] << 24 | (uint32_t)bytes[8] << 16 |
                          (uint32_t)bytes[9] << 8 | bytes[10];
        if (state == Contact || state == AwaitLink)
            FUZZ_REQUIRE(length == 4);  // the contact probe
        else if (state == AwaitBlockAck || state == AwaitVerify)
            FUZZ_REQUIRE(length == (uint32_t)fz.image_size);  // the verify request
        else
            FUZZ_REQUIRE(!"region-CRC request from this state");
        break;
    }
    case OP_PROGRAM_BLOCK: {
        FUZZ_REQUIRE(state == AwaitLink || state == AwaitBlockAck);
        int32_t n = bytes[7] << 8 | bytes[8];
        FUZZ_REQUIRE(n > 0 && n <= BLOCK_SIZE && count == n + BLOCK_REQUEST_OVERHEAD);
        uint32_t offset = address - link->base;
        FUZZ_REQUIRE(n <= fz.image_size && offset <= (uint32_t)(fz.image_size - n));
        FUZZ_REQUIRE(memcmp(bytes + 9, fz.image + offset, (size_t)n) == 0);
        fz.block_offset = (int32_t)offset;
        fz.block_len = n;
        break;
    }
    case OP_RESET:
        FUZZ_REQUIRE(count == RESET_REQUEST_LEN);
        FUZZ_REQUIRE(state == AwaitVerify || state == AwaitResetAck);
        break;
    default:
        FUZZ_REQUIRE(!"unknown operation");
    }

    fz.tick.writes++;
    if (fz.tick.reads == 0)
        fz.tick.writes_before_read++;
    return count;
}

void fuzz_purge(void *context)
{
    FUZZ_REQUIRE(context == &fz);
    fz.pending_len = 0;
    fz.tick.purges++;
}

// What is still on the line, dropped and counted.
int32_t fuzz_discard_input(void *context)
{
    FUZZ_REQUIRE(context == &fz);
    int32_t n = fz.pending_len;
    fz.pending_len = 0;
    return n;
}

void fuzz_flush(void *context)
{
    FUZZ_REQUIRE(context == &fz);
    fz.tick.flushes++;
}

const TransportOps FUZZ_OPS = {fuzz_read,          fuzz_read_until, fuzz_write, fuzz_purge,
                               fuzz_discard_input, fuzz_flush,      fuzz_lost};

}  // namespace

void fuzz_link_begin(DeviceLink *link, const unsigned char *image,
                     int32_t image_size, uint32_t start_ms, int stale_mode,
                     unsigned char stale_fill)
{
    link->line.ops = &FUZZ_OPS;
    link->line.context = &fz;
    link->clock.now_ms = fuzz_now;
    link->clock.pause_ms = fuzz_pause;
    link->clock.context = &fz;
    fz.now = start_ms;
    fz.link = link;
    fz.image = image;
    fz.image_size = image_size;
    fz.image_crc = reference_crc16(image, (size_t)image_size);
    fz.stale_mode = stale_mode;
    fz.stale_fill = stale_fill;
    fz.pending_len = 0;
    fz.block_offset = -1;
    fz.block_len = 0;
    set_status_sink(check_status_text);
}
