// The engine's side of the line: writing a request, and reading, splitting
// and matching the replies to it; and the probe between updates.
#include "protocol/engine.h"

#include <string.h>

#include "protocol/engine_internal.h"

// Bytes of a request's header that a device which echoes sends back: unit,
// function and operation, then the address and length fields the
// operation has.
static int32_t echoed_head_length(unsigned char operation)
{
    switch (operation) {
    case OP_PROGRAM_BLOCK:
        return 9;   // address, block length
    case OP_REGION_CRC:
        return 11;  // address, region length
    default:
        return 3;   // the reset
    }
}

void write_frame(DeviceLink *link)
{
    // The header is kept: the reply is read over the request.
    int32_t head = echoed_head_length(link->frame.bytes[2]);
    if (head > link->frame.frame_len - 2)
        head = link->frame.frame_len - 2;
    link->engine.request_head_len = head > 0 ? head : 0;
    memcpy(link->engine.request_head, link->frame.bytes, (size_t)link->engine.request_head_len);
    link->line.ops->write(link->line.context, link->frame.bytes, link->frame.frame_len);
}

// ---------------------------------------------------------------------------
// Reading replies

// 1 when the len bytes of a reply begin with the outstanding request's
// header, as a device that echoes sends it.
int echoes_request(const DeviceLink *link, const unsigned char *reply, int32_t len)
{
    return len >= link->engine.request_head_len + 2 &&
           memcmp(reply, link->engine.request_head, (size_t)link->engine.request_head_len) == 0;
}

enum { FRAMES_IN_A_READ = 8 };

// Where the reply starts in count bytes just read: 0 when they pass as they
// are; past the rest of the previous reply when the last read ended on an
// accepted reply that turned out to be the start of a longer one; -1 when
// there is no reply in them. Waiting for the verify answer, only a reply that
// reaches the CRC field counts.
static int32_t reply_start(const DeviceLink *link, const unsigned char *bytes, int32_t count)
{
    int32_t need = link->state == AwaitVerify ? REGION_CRC_REPLY_MIN : REPLY_MIN;
    if (link->settings.match_replies && link->engine.device_echoes) {
        // Late answers to earlier requests may come first: the reply is the
        // frame that answers the request outstanding.
        int32_t starts[FRAMES_IN_A_READ], lengths[FRAMES_IN_A_READ];
        int frames = split_frames(bytes, count, starts, lengths, FRAMES_IN_A_READ);
        for (int i = 0; i < frames; ++i)
            if (lengths[i] >= need && echoes_request(link, bytes + starts[i], lengths[i]))
                return starts[i];
    }
    if (count >= need && reply_bytes_ok(bytes, count))
        return 0;
    if (link->engine.reply_ended_read) {
        int32_t rest = reply_tail_length(bytes, count);
        if (rest > 0 && count - rest >= need && reply_bytes_ok(bytes + rest, count - rest))
            return rest;
    }
    return -1;
}

static int whole_probe_reply(const unsigned char *bytes, int32_t count, void *)
{
    return count >= REPLY_MIN && reply_bytes_ok(bytes, count);
}

static int whole_reply(const unsigned char *bytes, int32_t count, void *context)
{
    return reply_start((const DeviceLink *)context, bytes, count) >= 0;
}

// Reads whatever the device sent into the frame buffer, over the request.
int32_t read_frame(DeviceLink *link)
{
    uint32_t capacity = link->read_capacity;
    if (capacity > FRAME_CAPACITY)
        capacity = FRAME_CAPACITY;
    const Transport *line = &link->line;
    int32_t n;
    if (link->settings.reply_complete)
        n = line->ops->read_until(line->context, link->frame.bytes, capacity, whole_reply, link);
    else
        n = line->ops->read(line->context, link->frame.bytes, capacity);
    if (n < 0 || (uint32_t)n > capacity)
        n = 0;
    link->frame.frame_len = n;
    return n;
}

// With reads that end once a reply is in: drops the rest of the previous
// reply from the front of the bytes read, so the reply behind it is judged
// alone, and notes whether this read ended on a reply.
void take_reply(DeviceLink *link)
{
    if (!link->settings.reply_complete)
        return;
    int32_t n = link->frame.frame_len;
    int32_t start = reply_start(link, link->frame.bytes, n);
    if (start > 0) {
        memmove(link->frame.bytes, link->frame.bytes + start, (size_t)(n - start));
        link->frame.frame_len = n - start;
    }
    link->engine.reply_ended_read = start >= 0;
}

// With replies matched to requests and a device that echoes: keeps, of the
// reply just read, the frame that answers the outstanding request (a late
// answer to an earlier request may have arrived before it, in the same read
// or alone); drops the rest. Returns 0 when nothing read answers it.
static int match_reply(DeviceLink *link)
{
    FrameBuffer *frame = &link->frame;
    int32_t n = frame->frame_len;
    if (!link->settings.match_replies || !link->engine.device_echoes || n < REPLY_MIN)
        return 1;
    int32_t starts[FRAMES_IN_A_READ], lengths[FRAMES_IN_A_READ];
    int frames = split_frames(frame->bytes, n, starts, lengths, FRAMES_IN_A_READ);
    if (frames == 0) {
        frames = 1;
        starts[0] = 0;
        lengths[0] = n;
    }
    for (int i = 0; i < frames; ++i) {
        if (echoes_request(link, frame->bytes + starts[i], lengths[i])) {
            memmove(frame->bytes, frame->bytes + starts[i], (size_t)lengths[i]);
            frame->frame_len = lengths[i];
            return 1;
        }
    }
    // Bytes that are no frame at all fail the acceptance test on their own.
    if (!reply_bytes_ok(frame->bytes + starts[0], lengths[0]))
        return 1;
    link->engine.tally.stale_replies += (uint32_t)frames;
    report_trace(link->settings.report, "(a reply to an earlier request, dropped)\n");
    frame->frame_len = 0;
    return 0;
}

// 1 when a reply was read and passed the acceptance test (and, with replies
// matched to requests, answers the one outstanding).
int read_reply(DeviceLink *link)
{
    read_frame(link);
    take_reply(link);
    return match_reply(link) && accept_reply(&link->frame);
}

ProbeAnswer probe_device(DeviceLink *link)
{
    build_region_crc_request(&link->frame, link->unit_address, link->base, 4);
    link->line.ops->write(link->line.context, link->frame.bytes, link->frame.frame_len);
    int32_t n = link->line.ops->read_until(link->line.context, link->frame.bytes, FRAME_CAPACITY,
                                          whole_probe_reply, NULL);
    if (n < 0 || n > FRAME_CAPACITY)
        n = 0;
    link->frame.frame_len = n;
    int answered = accept_reply(&link->frame);
    if (link->line.ops->lost(link->line.context))
        return PROBE_LINE_LOST;
    return answered ? PROBE_ANSWERED : PROBE_SILENT;
}
