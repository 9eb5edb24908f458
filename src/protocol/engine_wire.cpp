// The engine's side of the line: clearing it and writing a request, when it
// is resent, and reading, splitting and matching the replies to it, with
// their times; and the probe and the question between updates.
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

// Clears what waits on the line and counts it; with quiet, goes on until
// the line has been quiet for RESET_QUIET_MS (RESET_QUIET_MAX_MS at most).
static void clear_line(DeviceLink *link, int quiet)
{
    const Transport *line = &link->line;
    uint32_t start = clock_now(&link->clock);
    uint32_t quiet_since = start;
    uint32_t cleared = 0;
    for (;;) {
        int32_t n = line->ops->discard_input(line->context);
        uint32_t now = clock_now(&link->clock);
        if (n > 0) {
            cleared += (uint32_t)n;
            quiet_since = now;
        }
        if (!quiet || now - quiet_since >= RESET_QUIET_MS || now - start >= RESET_QUIET_MAX_MS ||
            line->ops->lost(line->context))
            break;
        link->clock.pause_ms(link->clock.context, RESET_QUIET_POLL_MS);
    }
    if (cleared > 0) {
        link->engine.tally.stale_bytes += cleared;
        report_trace(link->settings.report,
                     "(%lu bytes waiting on the line before the request, cleared)\n",
                     (unsigned long)cleared);
    }
}

void begin_request(DeviceLink *link, int quiet_first)
{
    if (link->settings.clear_stale)
        clear_line(link, quiet_first);
    link->engine.request_resent = 0;
    link->send_time = clock_now(&link->clock);
}

void write_frame(DeviceLink *link)
{
    // The header is kept: the reply is read over the request.
    int32_t head = echoed_head_length(link->frame.bytes[2]);
    if (head > link->frame.frame_len - 2)
        head = link->frame.frame_len - 2;
    link->engine.request_head_len = head > 0 ? head : 0;
    link->engine.request_len = link->frame.frame_len;
    memcpy(link->engine.request_head, link->frame.bytes, (size_t)link->engine.request_head_len);
    link->line.ops->write(link->line.context, link->frame.bytes, link->frame.frame_len);
}

// ---------------------------------------------------------------------------
// When a request is resent, and the answers' times

uint32_t resend_limit(const DeviceLink *link)
{
    const UpdateSettings *s = &link->settings;
    const EngineBookkeeping *e = &link->engine;
    if (link->state == AwaitResetAck)
        return RESET_RETRY_MS;
    // Only replies matched to requests make an early resend harmless: its
    // late first answer is known for what it is. The verify request, sent
    // once, asks for a CRC of the whole image, whose time no block tells.
    if (!e->linked || !s->match_replies || !e->device_echoes || link->state == AwaitVerify)
        return link->timeout_ms;
    if (s->resend == RESEND_FIXED && s->resend_after_ms > 0)
        return s->resend_after_ms;
    if (s->resend == RESEND_FOLLOW_DEVICE)
        return resend_timer_timeout(&e->timer, line_time_ms(e->request_len + REGION_CRC_REPLY_MIN),
                                    link->timeout_ms);
    return link->timeout_ms;
}

void note_answer(DeviceLink *link)
{
    EngineBookkeeping *e = &link->engine;
    uint32_t now = clock_now(&link->clock);
    // Karn's rule: the echo of a resent request is the echo of its first
    // send too, so its answer's time says nothing sure.
    int timed = link->state == AwaitBlockAck || link->state == AwaitBlockCrc;
    if (e->linked && timed && !e->request_resent) {
        uint32_t took = now - link->send_time;
        uint32_t wire = line_time_ms(e->request_len + link->frame.frame_len);
        resend_timer_sample(&e->timer, took > wire ? took - wire : 0);
    }
    e->answered_ms = now;
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
// there is no reply in them. Waiting for the answer to a region-CRC request
// (a block's, or the verify's), only a reply that reaches the CRC field counts.
static int32_t reply_start(const DeviceLink *link, const unsigned char *bytes, int32_t count)
{
    int region = link->state == AwaitVerify || link->state == AwaitBlockCrc;
    int32_t need = region ? REGION_CRC_REPLY_MIN : REPLY_MIN;
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

// How long a read that ends once a reply is in may wait: until the
// outstanding request is due to be resent, READ_TOTAL_MS at most.
static uint32_t read_time(const DeviceLink *link)
{
    uint32_t limit = resend_limit(link);
    uint32_t waited = clock_now(&link->clock) - link->send_time;
    uint32_t left = waited < limit ? limit - waited + 1 : 1;
    return left < READ_TOTAL_MS ? left : (uint32_t)READ_TOTAL_MS;
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
        n = line->ops->read_until(line->context, link->frame.bytes, capacity, whole_reply, link,
                                  read_time(link));
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
            // What came with the answer in the same read is no part of it:
            // counted as bytes that were on the line out of turn.
            if (lengths[i] < n) {
                link->engine.tally.stale_bytes += (uint32_t)(n - lengths[i]);
                report_trace(link->settings.report, "(%ld bytes read with the answer, dropped)\n",
                             (long)(n - lengths[i]));
            }
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
    link->line.ops->discard_input(link->line.context);
    build_region_crc_request(&link->frame, link->unit_address, link->base, PROBE_REGION_BYTES);
    link->line.ops->write(link->line.context, link->frame.bytes, link->frame.frame_len);
    int32_t n = link->line.ops->read_until(link->line.context, link->frame.bytes, FRAME_CAPACITY,
                                          whole_probe_reply, NULL, READ_TOTAL_MS);
    if (n < 0 || n > FRAME_CAPACITY)
        n = 0;
    link->frame.frame_len = n;
    int answered = accept_reply(&link->frame);
    if (link->line.ops->lost(link->line.context))
        return PROBE_LINE_LOST;
    return answered ? PROBE_ANSWERED : PROBE_SILENT;
}

// The question between updates: its header, and the bytes read for its
// answer so far (the frame buffer, before the current read).
struct RegionQuestion {
    unsigned char head[REQUEST_HEAD_MAX];
    unsigned char probe_head[REQUEST_HEAD_MAX];  // the probe's: a late answer to it is no answer
    const unsigned char *bytes;
    int32_t before;
};

// Where the answer to the question starts in count bytes: the frame that
// echoes its header, else the bytes as they are when they pass as one reply
// that reaches the CRC field and do not echo the probe (a late answer to
// the probe before it is not this answer); -1 when neither.
static int32_t region_answer_start(const RegionQuestion *q, int32_t count)
{
    int32_t starts[FRAMES_IN_A_READ], lengths[FRAMES_IN_A_READ];
    int frames = split_frames(q->bytes, count, starts, lengths, FRAMES_IN_A_READ);
    for (int i = 0; i < frames; ++i)
        if (lengths[i] >= REGION_CRC_REPLY_MIN &&
            memcmp(q->bytes + starts[i], q->head, REQUEST_HEAD_MAX) == 0)
            return starts[i];
    if (count < REGION_CRC_REPLY_MIN || !reply_bytes_ok(q->bytes, count))
        return -1;
    return memcmp(q->bytes, q->probe_head, REQUEST_HEAD_MAX) == 0 ? -1 : 0;
}

static int region_answer_in(const unsigned char *, int32_t count, void *context)
{
    const RegionQuestion *q = (const RegionQuestion *)context;
    return region_answer_start(q, q->before + count) >= 0;
}

RegionCrcAnswer ask_region_crc(DeviceLink *link, uint32_t wait_ms, uint16_t *crc)
{
    const Transport *line = &link->line;
    line->ops->discard_input(line->context);
    RegionQuestion q;
    build_region_crc_request(&link->frame, link->unit_address, link->base, PROBE_REGION_BYTES);
    memcpy(q.probe_head, link->frame.bytes, REQUEST_HEAD_MAX);
    build_region_crc_request(&link->frame, link->unit_address, link->base,
                             (uint32_t)link->image_size);
    memcpy(q.head, link->frame.bytes, REQUEST_HEAD_MAX);
    q.bytes = link->frame.bytes;
    q.before = 0;
    line->ops->write(line->context, link->frame.bytes, link->frame.frame_len);
    uint32_t start = clock_now(&link->clock);
    int32_t at = -1;
    while (at < 0 && q.before < FRAME_CAPACITY && !line->ops->lost(line->context)) {
        uint32_t waited = clock_now(&link->clock) - start;
        if (waited >= wait_ms)
            break;
        uint32_t left = wait_ms - waited;
        int32_t n = line->ops->read_until(line->context, link->frame.bytes + q.before,
                                          (uint32_t)(FRAME_CAPACITY - q.before), region_answer_in,
                                          &q, left < READ_TOTAL_MS ? left : (uint32_t)READ_TOTAL_MS);
        if (n > 0 && n <= FRAME_CAPACITY - q.before)
            q.before += n;
        at = region_answer_start(&q, q.before);
    }
    link->frame.frame_len = q.before;
    if (line->ops->lost(line->context))
        return REGION_CRC_LINE_LOST;
    if (at < 0)
        return REGION_CRC_SILENT;
    // The answer first in the buffer, as an update's reply is, for its CRC.
    memmove(link->frame.bytes, link->frame.bytes + at, (size_t)(q.before - at));
    link->frame.frame_len = q.before - at;
    *crc = reply_region_crc(&link->frame);
    return REGION_CRC_ANSWERED;
}
