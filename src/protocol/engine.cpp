#include "protocol/engine.h"

#include <stdio.h>
#include <string.h>

void init_link(DeviceLink *link)
{
    link->read_capacity = FRAME_CAPACITY;
    link->unit_address = UNIT_ADDRESS;
    link->port = NO_PORT;
    link->line = no_transport();
    link->clock = system_clock();
    link->report = &PROCESS_REPORT;
    memset(&link->limits, 0, sizeof link->limits);
    link->reply_complete = 0;
    link->reply_ended_read = 0;
    link->match_replies = 0;
    link->device_echoes = 0;
    link->request_head_len = 0;
    link->resends_before_reset = 0;
    link->mode = MODE_UPDATE;
    link->no_reset = 0;
    memset(&link->differing, 0, sizeof link->differing);
    memset(&link->tally, 0, sizeof link->tally);
    link->tally.remote_crc = -1;
    link->end = UPDATE_RUNNING;
    link->cause = CAUSE_NONE;
    link->linked = 0;
    link->started_ms = 0;
    link->resetting_since_ms = 0;
    link->resetting = 0;
}

void use_reply_complete_reads(DeviceLink *link)
{
    link->reply_complete = 1;
}

void use_reply_matching(DeviceLink *link)
{
    link->match_replies = 1;
}

void start_update(DeviceLink *link)
{
    link->state = Start;
    link->end = UPDATE_RUNNING;
    link->cause = CAUSE_NONE;
}

static uint32_t now_ms(const DeviceLink *link)
{
    return link->clock.now_ms(link->clock.context);
}

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

static void write_frame(DeviceLink *link)
{
    // The header is kept: the reply is read over the request.
    int32_t head = echoed_head_length(link->frame.bytes[2]);
    if (head > link->frame.frame_len - 2)
        head = link->frame.frame_len - 2;
    link->request_head_len = head > 0 ? head : 0;
    memcpy(link->request_head, link->frame.bytes, (size_t)link->request_head_len);
    link->line.ops->write(link->line.context, link->frame.bytes, link->frame.frame_len);
}

void enter_state(DeviceLink *link, UpdateState s)
{
    const UpdateReport *report = link->report;
    switch (s) {
    case Contact:
        link->block_len = BLOCK_SIZE;
        link->offset = 0;
        link->timeout_ms = LINK_TIMEOUT_MS;
        memset(&link->tally, 0, sizeof link->tally);
        link->tally.remote_crc = -1;
        link->reply_ended_read = 0;
        link->linked = 0;
        link->resetting = 0;
        link->device_echoes = 0;
        memset(&link->differing, 0, sizeof link->differing);
        break;
    case AwaitLink:
        link->send_time = now_ms(link);
        report_trace(report, "CONTACTING...\n");
        build_region_crc_request(&link->frame, link->unit_address, link->base, 4);
        write_frame(link);
        // The pause counts towards the probe's age; a device that answers
        // at once has its reply waiting when the tick reads. A read that
        // ends once the reply is in needs no pause: it waits for the reply.
        if (!link->reply_complete)
            link->clock.pause_ms(link->clock.context, PROBE_PAUSE_MS);
        break;
    case AwaitBlockAck: {
        link->send_time = now_ms(link);
        // Never send bytes beyond the image, whatever its size.
        if (link->image_size - link->offset < link->block_len)
            link->block_len = link->image_size - link->offset;
        uint32_t address = link->base + (uint32_t)link->offset;
        report_trace(report, "PROG ADDR %#x, LEN %#x, FROM %#x...", address,
                     (unsigned)link->block_len, (unsigned)link->offset);
        report_flush(report);
        report_status(report, "programming %#x", address);
        build_block_request(&link->frame, link->unit_address, address,
                            link->image + link->offset, link->block_len);
        write_frame(link);
        report_trace(report, " - SENT - ");
        report_flush(report);
        break;
    }
    case AwaitBlockCrc: {
        link->send_time = now_ms(link);
        if (link->image_size - link->offset < link->block_len)
            link->block_len = link->image_size - link->offset;
        uint32_t address = link->base + (uint32_t)link->offset;
        report_trace(report, "Checking address %#x, %#x bytes\n", address,
                     (unsigned)link->block_len);
        report_status(report, "checking %#x", address);
        build_region_crc_request(&link->frame, link->unit_address, address,
                                 (uint32_t)link->block_len);
        write_frame(link);
        break;
    }
    case AwaitVerify:
        link->send_time = now_ms(link);
        report_trace(report, "Verifying address %#x, image size %#x bytes\n", link->base,
                     (unsigned)link->image_size);
        report_status(report, "Verifying...");
        build_region_crc_request(&link->frame, link->unit_address, link->base,
                                 (uint32_t)link->image_size);
        write_frame(link);
        report_trace(report, "frame length %4d bytes sent\n", (int)link->frame.frame_len);
        break;
    case AwaitResetAck:
        link->send_time = now_ms(link);
        if (!link->resetting) {
            link->resetting = 1;
            link->resetting_since_ms = link->send_time;
            link->resends_before_reset = link->tally.resends;
        }
        report_trace(report, "Resetting target\n");
        report_status(report, "Resetting target...");
        build_reset_request(&link->frame, link->unit_address);
        write_frame(link);
        report_trace(report, "frame length %4d bytes sent\n", (int)link->frame.frame_len);
        break;
    case Done:
        report_status(report, "Programming Completed OK");
        break;
    default:
        break;
    }
    link->state = s;
}

static int overdue(const DeviceLink *link, uint32_t limit_ms)
{
    return (uint32_t)(now_ms(link) - link->send_time) > limit_ms;
}

// The request goes out again because its reply is overdue. Probes resent
// while no device answers yet are the wait for one, not a resend: a device
// plugged in late has nothing resent.
static void resend(DeviceLink *link, UpdateState s)
{
    if (link->linked)
        link->tally.resends++;
    enter_state(link, s);
}

// ---------------------------------------------------------------------------
// Reading replies

// 1 when the len bytes of a reply begin with the outstanding request's
// header, as a device that echoes sends it.
static int echoes_request(const DeviceLink *link, const unsigned char *reply, int32_t len)
{
    return len >= link->request_head_len + 2 &&
           memcmp(reply, link->request_head, (size_t)link->request_head_len) == 0;
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
    if (link->match_replies && link->device_echoes) {
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
    if (link->reply_ended_read) {
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
static int32_t read_frame(DeviceLink *link)
{
    uint32_t capacity = link->read_capacity;
    if (capacity > FRAME_CAPACITY)
        capacity = FRAME_CAPACITY;
    const Transport *line = &link->line;
    int32_t n;
    if (link->reply_complete)
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
static void take_reply(DeviceLink *link)
{
    if (!link->reply_complete)
        return;
    int32_t n = link->frame.frame_len;
    int32_t start = reply_start(link, link->frame.bytes, n);
    if (start > 0) {
        memmove(link->frame.bytes, link->frame.bytes + start, (size_t)(n - start));
        link->frame.frame_len = n - start;
    }
    link->reply_ended_read = start >= 0;
}

// With replies matched to requests and a device that echoes: keeps, of the
// reply just read, the frame that answers the outstanding request (a late
// answer to an earlier request may have arrived before it, in the same read
// or alone); drops the rest. Returns 0 when nothing read answers it.
static int match_reply(DeviceLink *link)
{
    FrameBuffer *frame = &link->frame;
    int32_t n = frame->frame_len;
    if (!link->match_replies || !link->device_echoes || n < REPLY_MIN)
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
    link->tally.stale_replies += (uint32_t)frames;
    report_trace(link->report, "(a reply to an earlier request, dropped)\n");
    frame->frame_len = 0;
    return 0;
}

// 1 when a reply was read and passed the acceptance test (and, with replies
// matched to requests, answers the one outstanding).
static int read_reply(DeviceLink *link)
{
    read_frame(link);
    take_reply(link);
    return match_reply(link) && accept_reply(&link->frame);
}

// ---------------------------------------------------------------------------
// The states

static void await_link(DeviceLink *link)
{
    const UpdateReport *report = link->report;
    if (overdue(link, link->timeout_ms))
        resend(link, AwaitLink);
    int32_t n = read_frame(link);
    if (n > 0) {
        report_trace(report, "RX:");
        for (int32_t i = 0; i < n; i++)
            report_trace(report, " %02x", link->frame.bytes[i]);
        report_trace(report, "\n");
    }
    take_reply(link);
    if (!accept_reply(&link->frame))
        return;
    report_trace(report, "REMOTE DEVICE LINK ESTABLISHED\n");
    link->linked = 1;
    // A device that answers the probe with the probe's own header echoes
    // every request; its replies can then be matched to them.
    link->device_echoes = link->match_replies &&
                          echoes_request(link, link->frame.bytes, link->frame.frame_len);
    link->timeout_ms = TRANSFER_TIMEOUT_MS;
    link->line.ops->purge(link->line.context);
    link->line.ops->flush(link->line.context);
    // Whatever was left of the reply went with the purge.
    link->reply_ended_read = 0;
    enter_state(link, link->mode == MODE_VERIFY ? AwaitBlockCrc : AwaitBlockAck);
}

// Notes the block at offset as differing, joined to the range before it
// when they touch.
static void note_differing(DifferingBlocks *d, int32_t offset, int32_t len)
{
    d->blocks++;
    if (d->range_count > 0 && d->end[d->range_count - 1] == offset) {
        d->end[d->range_count - 1] = offset + len;
    } else if (d->range_count < DIFFER_RANGES_MAX) {
        d->start[d->range_count] = offset;
        d->end[d->range_count] = offset + len;
        d->range_count++;
    }
}

static void await_block_crc(DeviceLink *link)
{
    if (overdue(link, link->timeout_ms)) {
        report_trace(link->report, "TIMEOUT\n");
        resend(link, AwaitBlockCrc);
    }
    if (!read_reply(link) || link->frame.frame_len < REGION_CRC_REPLY_MIN)
        return;
    uint16_t remote = reply_region_crc(&link->frame);
    uint16_t local = crc16(link->image + link->offset, link->block_len);
    if (remote != local) {
        report_trace(link->report, "Block at %#x differs: remote CRC %#x, local CRC %#x\n",
                     (unsigned)(link->base + (uint32_t)link->offset), (unsigned)remote,
                     (unsigned)local);
        note_differing(&link->differing, link->offset, link->block_len);
    }
    link->offset += link->block_len;
    report_progress(link->report, link->offset, link->image_size);
    enter_state(link, link->offset < link->image_size ? AwaitBlockCrc : AwaitVerify);
}

static void await_block_ack(DeviceLink *link)
{
    const UpdateReport *report = link->report;
    if (overdue(link, link->timeout_ms)) {
        report_trace(report, "TIMEOUT\n");
        resend(link, AwaitBlockAck);
    }
    if (!read_reply(link))
        return;
    report_trace(report, "- OK\n");
    report_flush(report);
    link->offset += link->block_len;
    link->tally.blocks_acked++;
    report_progress(report, link->offset, link->image_size);
    if (link->offset < link->image_size) {
        enter_state(link, AwaitBlockAck);  // shortens a last partial block
    } else {
        enter_state(link, AwaitVerify);
    }
}

static void await_verify(DeviceLink *link)
{
    const UpdateReport *report = link->report;
    if (overdue(link, link->timeout_ms))
        resend(link, AwaitVerify);
    if (!read_reply(link))
        return;
    // A reply that passes the CRC test but ends before the CRC field would
    // leave stale buffer bytes to decide the outcome: it is not an answer,
    // and the resend on timeout takes over.
    if (link->frame.frame_len < REGION_CRC_REPLY_MIN)
        return;
    uint16_t remote = reply_region_crc(&link->frame);
    uint16_t local = crc16(link->image, link->image_size);
    link->tally.remote_crc = remote;
    link->tally.local_crc = local;
    report_trace(report, "Remote CRC %#x\n", (unsigned)remote);
    report_trace(report, "Local  CRC %#x\n", (unsigned)local);
    if (remote == local && link->differing.blocks == 0) {
        report_trace(report, "CRCs match\n");
        report_status(report, "Program Verified OK");
        if (link->mode == MODE_VERIFY || link->no_reset) {
            link->cause = CAUSE_NOT_RESET;
            enter_state(link, Done);
        } else {
            enter_state(link, AwaitResetAck);
        }
    } else {
        report_trace(report, "CRC FAIL\n");
        report_status(report, "FAILED");
        enter_state(link, Failed);
    }
}

static void await_reset_ack(DeviceLink *link)
{
    if (overdue(link, RESET_RETRY_MS))
        resend(link, AwaitResetAck);
    if (!read_reply(link))
        return;
    report_trace(link->report, "frame length %4d bytes received & OK\n",
                 (int)link->frame.frame_len);
    enter_state(link, Done);
}

// After each step: whether the update has ended, and how.
static void settle_end(DeviceLink *link)
{
    const UpdateLimits *limits = &link->limits;
    uint32_t now = now_ms(link);
    if (link->state == Done) {
        link->end = UPDATE_DONE;
        // Without an echo, an acknowledgement after a resend may be the late
        // answer to the request resent.
        if (link->cause == CAUSE_NONE && link->match_replies && !link->device_echoes &&
            link->resends_before_reset > 0)
            link->cause = CAUSE_RESET_UNCERTAIN;
    } else if (link->state == Failed) {
        link->end = UPDATE_FAILED;
    } else if (link->line.ops->lost(link->line.context)) {
        // Verified, and gone on the reset: a device whose own USB port goes
        // away when it resets.
        if (link->state == AwaitResetAck) {
            link->end = UPDATE_DONE;
            link->cause = CAUSE_LOST_ON_RESET;
        } else {
            link->end = UPDATE_PORT_LOST;
        }
    } else if (limits->first_answer_ms > 0 && !link->linked &&
               now - link->started_ms > limits->first_answer_ms) {
        link->end = UPDATE_DEADLINE;
        link->cause = CAUSE_NO_ANSWER;
    } else if (limits->finish_ms > 0 && now - link->started_ms > limits->finish_ms) {
        link->end = UPDATE_DEADLINE;
        link->cause = CAUSE_NOT_FINISHED;
    } else if (limits->reset_for_ms > 0 && link->state == AwaitResetAck && link->resetting &&
               now - link->resetting_since_ms > limits->reset_for_ms) {
        // A verified device that resets without acknowledging is done.
        link->end = UPDATE_DONE;
        link->cause = CAUSE_RESET_UNANSWERED;
    }
}

void step_update(DeviceLink *link)
{
    if (link->state == Start) {
        link->end = UPDATE_RUNNING;
        link->cause = CAUSE_NONE;
        link->started_ms = now_ms(link);
    } else if (link->end != UPDATE_RUNNING) {
        return;
    }
    switch (link->state) {
    case Start:
        enter_state(link, Contact);
        break;
    case Contact:
        report_status(link->report, "Establishing Link...");
        enter_state(link, AwaitLink);
        break;
    case AwaitLink:
        await_link(link);
        break;
    case AwaitBlockAck:
        await_block_ack(link);
        break;
    case AwaitVerify:
        await_verify(link);
        break;
    case AwaitResetAck:
        await_reset_ack(link);
        break;
    case AwaitBlockCrc:
        await_block_crc(link);
        break;
    default: // Failed, Done and anything unknown: nothing to do
        break;
    }
    if (link->end == UPDATE_RUNNING)
        settle_end(link);
}

int probe_answered(DeviceLink *link)
{
    build_region_crc_request(&link->frame, link->unit_address, link->base, 4);
    link->line.ops->write(link->line.context, link->frame.bytes, link->frame.frame_len);
    int32_t n = link->line.ops->read_until(link->line.context, link->frame.bytes, FRAME_CAPACITY,
                                          whole_probe_reply, NULL);
    if (n < 0 || n > FRAME_CAPACITY)
        n = 0;
    link->frame.frame_len = n;
    return accept_reply(&link->frame);
}

void stop_update(DeviceLink *link)
{
    if (link->end == UPDATE_RUNNING) {
        link->end = UPDATE_STOPPED;
        link->cause = CAUSE_NONE;
    }
}

// A limit in seconds as the outcome says it, with its name when it has one:
// "--wait 2 s", or "2 s".
static void limit_words(char *text, size_t size, const char *name, uint32_t ms)
{
    snprintf(text, size, "%s%s%g s", name != NULL ? name : "", name != NULL ? " " : "",
             ms / 1000.0);
}

UpdateEnd update_outcome(const DeviceLink *link, UpdateOutcome *outcome)
{
    if (outcome == NULL)
        return link->end;
    outcome->end = link->end;
    outcome->cause = link->cause;
    outcome->reset_confirmed = link->end == UPDATE_DONE && link->cause == CAUSE_NONE;
    outcome->linked = link->linked;
    outcome->offset = link->offset;
    outcome->image_size = link->image_size;
    outcome->tally = link->tally;
    outcome->differing = link->differing;
    uint32_t waited = now_ms(link) - link->send_time;
    uint32_t resend_at = link->state == AwaitResetAck ? (uint32_t)RESET_RETRY_MS : link->timeout_ms;
    int waiting = link->end == UPDATE_RUNNING && link->state != Start && link->state != Contact;
    outcome->reply_wait_ms = waiting ? waited : 0;
    outcome->resend_in_ms = waiting && waited < resend_at ? resend_at - waited : 0;
    char *why = outcome->why;
    size_t size = sizeof outcome->why;
    char limit[64];
    why[0] = '\0';
    switch (link->end) {
    case UPDATE_DONE:
        if (link->cause == CAUSE_LOST_ON_RESET) {
            snprintf(why, size,
                     "the port went away after the reset request (the device reset and took its "
                     "port with it?); the image is verified");
        } else if (link->cause == CAUSE_NOT_RESET && link->mode == MODE_UPDATE) {
            snprintf(why, size, "not reset, as asked: the device stays in its boot loader");
        } else if (link->cause == CAUSE_RESET_UNCERTAIN) {
            snprintf(why, size,
                     "the acknowledgement of the reset may be a late answer to an earlier "
                     "request (a request was resent, and the device does not echo requests); "
                     "the image is verified");
        } else if (link->cause == CAUSE_RESET_UNANSWERED) {
            limit_words(limit, sizeof limit, NULL, link->limits.reset_for_ms);
            snprintf(why, size,
                     "the device did not acknowledge the reset within %s; the image is verified",
                     limit);
        }
        break;
    case UPDATE_FAILED:
        if (link->mode == MODE_VERIFY)
            snprintf(why, size,
                     "the device's flash differs from the image: %lu of %ld blocks differ, CRC "
                     "%#06x of the whole against the image's %#06x",
                     (unsigned long)link->differing.blocks,
                     (long)((link->image_size + BLOCK_SIZE - 1) / BLOCK_SIZE),
                     (unsigned)link->tally.remote_crc, (unsigned)link->tally.local_crc);
        else
            snprintf(why, size,
                     "the device reported CRC %#06x for the written image, whose CRC is %#06x; "
                     "it was not reset",
                     (unsigned)link->tally.remote_crc, (unsigned)link->tally.local_crc);
        break;
    case UPDATE_PORT_LOST:
        snprintf(why, size, "the port went away after %ld of %ld bytes (adapter unplugged?)",
                 (long)link->offset, (long)link->image_size);
        break;
    case UPDATE_DEADLINE:
        if (link->cause == CAUSE_NO_ANSWER) {
            limit_words(limit, sizeof limit, link->limits.first_answer_name,
                        link->limits.first_answer_ms);
            snprintf(why, size, "no answer from the device within %s (plugged in and powered?)",
                     limit);
        } else {
            limit_words(limit, sizeof limit, link->limits.finish_name, link->limits.finish_ms);
            snprintf(why, size, "not finished within %s (%ld of %ld bytes)", limit,
                     (long)link->offset, (long)link->image_size);
        }
        break;
    case UPDATE_STOPPED:
        snprintf(why, size, "stopped by an interrupt");
        break;
    case UPDATE_RUNNING:
        break;
    }
    return link->end;
}
