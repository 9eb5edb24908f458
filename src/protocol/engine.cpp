// The update engine's state machine: the entry action of each state, and the
// step each tick runs for the current one (contact, program blocks or check
// their CRCs, verify, reset), then whether the update has ended. Requests go
// out and replies come in through engine_wire.cpp; set-up, start and stop
// are in engine_setup.cpp, the outcome in engine_outcome.cpp.
#include "protocol/engine.h"

#include "protocol/engine_internal.h"

// ---------------------------------------------------------------------------
// The entry actions

// Counters reset; the bookkeeping is fresh since the Start step.
static void reset_counters(DeviceLink *link)
{
    link->block_len = BLOCK_SIZE;
    link->offset = 0;
    link->timeout_ms = LINK_TIMEOUT_MS;
}

static void send_probe(DeviceLink *link)
{
    begin_request(link, 0);
    report_trace(link->settings.report, "CONTACTING...\n");
    build_region_crc_request(&link->frame, link->unit_address, link->base, PROBE_REGION_BYTES);
    write_frame(link);
    // The pause counts towards the probe's age; a device that answers
    // at once has its reply waiting when the tick reads. A read that
    // ends once the reply is in needs no pause: it waits for the reply.
    if (!link->settings.reply_complete)
        link->clock.pause_ms(link->clock.context, PROBE_PAUSE_MS);
}

// The block at offset, never reaching beyond end (the image's size, or what
// a verify compares) whatever its size: its address.
static uint32_t block_address(DeviceLink *link, int32_t end)
{
    if (end - link->offset < link->block_len)
        link->block_len = end - link->offset;
    return link->base + (uint32_t)link->offset;
}

// The bytes from image[0] that a verify compares: the image's own (without
// its padding, which nothing else writes) when the front end gave them, else
// the padded image. An update verifies what it wrote, the padded image.
static int32_t compared_size(const DeviceLink *link)
{
    int32_t own = link->settings.image_own_size;
    if (link->settings.mode != MODE_VERIFY || own <= 0 || own > link->image_size)
        return link->image_size;
    return own;
}

static void send_block(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    begin_request(link, 0);
    uint32_t address = block_address(link, link->image_size);
    report_trace(report, "PROG ADDR %#x, LEN %#x, FROM %#x...", address,
                 (unsigned)link->block_len, (unsigned)link->offset);
    report_flush(report);
    report_status(report, "programming %#x", address);
    build_block_request(&link->frame, link->unit_address, address, link->image + link->offset,
                        link->block_len);
    write_frame(link);
    report_trace(report, " - SENT - ");
    report_flush(report);
}

static void send_block_crc(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    begin_request(link, 0);
    uint32_t address = block_address(link, compared_size(link));
    report_trace(report, "Checking address %#x, %#x bytes\n", address,
                 (unsigned)link->block_len);
    report_status(report, "checking %#x", address);
    build_region_crc_request(&link->frame, link->unit_address, address,
                             (uint32_t)link->block_len);
    write_frame(link);
}

static void send_verify(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    begin_request(link, 0);
    int32_t size = compared_size(link);
    report_trace(report, "Verifying address %#x, image size %#x bytes\n", link->base,
                 (unsigned)size);
    report_status(report, "Verifying...");
    build_region_crc_request(&link->frame, link->unit_address, link->base, (uint32_t)size);
    write_frame(link);
    report_trace(report, "frame length %4d bytes sent\n", (int)link->frame.frame_len);
}

static void send_reset(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    EngineBookkeeping *e = &link->engine;
    // Nothing may answer the first reset but the device, after it: what
    // arrives between the verify answer and the request is cleared.
    begin_request(link, !e->resetting);
    if (!e->resetting) {
        e->resetting = 1;
        e->resetting_since_ms = link->send_time;
        e->resends_before_reset = e->tally.resends;
    }
    report_trace(report, "Resetting target\n");
    report_status(report, "Resetting target...");
    build_reset_request(&link->frame, link->unit_address);
    write_frame(link);
    report_trace(report, "frame length %4d bytes sent\n", (int)link->frame.frame_len);
}

void enter_state(DeviceLink *link, UpdateState s)
{
    switch (s) {
    case Contact:
        reset_counters(link);
        break;
    case AwaitLink:
        send_probe(link);
        break;
    case AwaitBlockAck:
        send_block(link);
        break;
    case AwaitBlockCrc:
        send_block_crc(link);
        break;
    case AwaitVerify:
        send_verify(link);
        break;
    case AwaitResetAck:
        send_reset(link);
        break;
    case Done:
        report_status(link->settings.report, "Programming Completed OK");
        break;
    default:
        break;
    }
    link->state = s;
}

static int overdue(const DeviceLink *link)
{
    return (uint32_t)(clock_now(&link->clock) - link->send_time) > resend_limit(link);
}

// The request goes out again because its reply is overdue. Probes resent
// while no device answers yet are the wait for one, not a resend: a device
// plugged in late has nothing resent.
static void resend(DeviceLink *link, UpdateState s)
{
    EngineBookkeeping *e = &link->engine;
    if (e->linked) {
        e->tally.resends++;
        resend_timer_backoff(&e->timer);
    }
    enter_state(link, s);
    e->request_resent = 1;
}

// ---------------------------------------------------------------------------
// The states

static void await_link(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    if (overdue(link))
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
    note_answer(link);
    link->engine.linked = 1;
    // A device that answers the probe with the probe's own header echoes
    // every request; its replies can then be matched to them.
    link->engine.device_echoes = link->settings.match_replies &&
                                 echoes_request(link, link->frame.bytes, link->frame.frame_len);
    link->timeout_ms = TRANSFER_TIMEOUT_MS;
    link->line.ops->purge(link->line.context);
    link->line.ops->flush(link->line.context);
    // Whatever was left of the reply went with the purge.
    link->engine.reply_ended_read = 0;
    enter_state(link, link->settings.mode == MODE_VERIFY ? AwaitBlockCrc : AwaitBlockAck);
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
    if (overdue(link)) {
        report_trace(link->settings.report, "TIMEOUT\n");
        resend(link, AwaitBlockCrc);
    }
    if (!read_reply(link) || link->frame.frame_len < REGION_CRC_REPLY_MIN)
        return;
    note_answer(link);
    uint16_t remote = reply_region_crc(&link->frame);
    uint16_t local = crc16(link->image + link->offset, link->block_len);
    if (remote != local) {
        report_trace(link->settings.report,
                     "Block at %#x differs: remote CRC %#x, local CRC %#x\n",
                     (unsigned)(link->base + (uint32_t)link->offset), (unsigned)remote,
                     (unsigned)local);
        note_differing(&link->engine.differing, link->offset, link->block_len);
    }
    link->offset += link->block_len;
    int32_t end = compared_size(link);
    report_progress(link->settings.report, link->offset, end);
    enter_state(link, link->offset < end ? AwaitBlockCrc : AwaitVerify);
}

static void await_block_ack(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    if (overdue(link)) {
        report_trace(report, "TIMEOUT\n");
        resend(link, AwaitBlockAck);
    }
    if (!read_reply(link))
        return;
    note_answer(link);
    report_trace(report, "- OK\n");
    report_flush(report);
    link->offset += link->block_len;
    link->engine.tally.blocks_acked++;
    report_progress(report, link->offset, link->image_size);
    if (link->offset < link->image_size) {
        enter_state(link, AwaitBlockAck);  // shortens a last partial block
    } else {
        enter_state(link, AwaitVerify);
    }
}

static void await_verify(DeviceLink *link)
{
    const UpdateReport *report = link->settings.report;
    if (overdue(link))
        resend(link, AwaitVerify);
    if (!read_reply(link))
        return;
    // A reply that passes the CRC test but ends before the CRC field would
    // leave stale buffer bytes to decide the outcome: it is not an answer,
    // and the resend on timeout takes over.
    if (link->frame.frame_len < REGION_CRC_REPLY_MIN)
        return;
    note_answer(link);
    uint16_t remote = reply_region_crc(&link->frame);
    uint16_t local = crc16(link->image, compared_size(link));
    link->engine.tally.remote_crc = remote;
    link->engine.tally.local_crc = local;
    report_trace(report, "Remote CRC %#x\n", (unsigned)remote);
    report_trace(report, "Local  CRC %#x\n", (unsigned)local);
    if (remote == local && link->engine.differing.blocks == 0) {
        report_trace(report, "CRCs match\n");
        report_status(report, "Program Verified OK");
        if (link->settings.mode == MODE_VERIFY || link->settings.no_reset) {
            link->engine.cause = CAUSE_NOT_RESET;
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
    if (overdue(link))
        resend(link, AwaitResetAck);
    if (!read_reply(link))
        return;
    note_answer(link);
    report_trace(link->settings.report, "frame length %4d bytes received & OK\n",
                 (int)link->frame.frame_len);
    enter_state(link, Done);
}

// After each step: whether the update has ended, and how.
static void settle_end(DeviceLink *link)
{
    const UpdateLimits *limits = &link->settings.limits;
    EngineBookkeeping *e = &link->engine;
    uint32_t now = clock_now(&link->clock);
    if (link->state == Done) {
        e->end = UPDATE_DONE;
        // Without an echo, an acknowledgement after a resend may be the late
        // answer to the request resent.
        if (e->cause == CAUSE_NONE && link->settings.match_replies && !e->device_echoes &&
            e->resends_before_reset > 0)
            e->cause = CAUSE_RESET_UNCERTAIN;
    } else if (link->state == Failed) {
        e->end = UPDATE_FAILED;
    } else if (link->line.ops->lost(link->line.context)) {
        // Verified, and gone on the reset: a device whose own USB port goes
        // away when it resets.
        if (link->state == AwaitResetAck) {
            e->end = UPDATE_DONE;
            e->cause = CAUSE_LOST_ON_RESET;
        } else {
            e->end = UPDATE_PORT_LOST;
        }
    } else if (limits->first_answer_ms > 0 && !e->linked &&
               now - e->started_ms > limits->first_answer_ms) {
        e->end = UPDATE_DEADLINE;
        e->cause = CAUSE_NO_ANSWER;
    } else if (limits->stall_ms > 0 && e->linked && link->state != AwaitResetAck &&
               now - e->answered_ms > limits->stall_ms) {
        // The reset has its own limit; every other request an answer.
        e->end = UPDATE_DEADLINE;
        e->cause = CAUSE_STALLED;
    } else if (limits->finish_ms > 0 && now - e->started_ms > limits->finish_ms) {
        e->end = UPDATE_DEADLINE;
        e->cause = CAUSE_NOT_FINISHED;
    } else if (limits->reset_for_ms > 0 && link->state == AwaitResetAck && e->resetting &&
               now - e->resetting_since_ms > limits->reset_for_ms) {
        // A verified device that resets without acknowledging is done.
        e->end = UPDATE_DONE;
        e->cause = CAUSE_RESET_UNANSWERED;
    }
}

void step_update(DeviceLink *link)
{
    // Start begins the update's bookkeeping afresh, however Start was set.
    if (link->state == Start) {
        fresh_bookkeeping(&link->engine);
        link->engine.started_ms = clock_now(&link->clock);
    } else if (link->engine.end != UPDATE_RUNNING) {
        return;
    }
    switch (link->state) {
    case Start:
        enter_state(link, Contact);
        break;
    case Contact:
        report_status(link->settings.report, "Establishing Link...");
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
    if (link->engine.end == UPDATE_RUNNING)
        settle_end(link);
}
