#include "protocol/engine.h"

#include <string.h>

#include "protocol/clock.h"

void init_link(DeviceLink *link)
{
    link->read_capacity = FRAME_CAPACITY;
    link->unit_address = UNIT_ADDRESS;
    link->port = NO_PORT;
    link->report = &PROCESS_REPORT;
    link->reply_complete = 0;
    link->port_gone = 0;
    link->reply_ended_read = 0;
    memset(&link->tally, 0, sizeof link->tally);
    link->tally.remote_crc = -1;
}

void use_reply_complete_reads(DeviceLink *link)
{
    link->reply_complete = 1;
}

static void write_frame(DeviceLink *link)
{
    write_port(link->port, link->frame.bytes, link->frame.frame_len);
    // The command line ends a device that has gone; the dialog goes on as ever.
    if (link->reply_complete && port_lost(link->port))
        link->port_gone = 1;
}

void enter_state(DeviceLink *link, uint32_t s)
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
        break;
    case AwaitLink:
        link->send_time = tick_count();
        report_trace(report, "CONTACTING...\n");
        build_region_crc_request(&link->frame, link->unit_address, link->base, 4);
        write_frame(link);
        // The pause counts towards the probe's age; a device that answers
        // at once has its reply waiting when the tick reads. A read that
        // ends once the reply is in needs no pause: it waits for the reply.
        if (!link->reply_complete)
            sleep_ms(PROBE_PAUSE_MS);
        break;
    case AwaitBlockAck: {
        link->send_time = tick_count();
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
    case AwaitVerify:
        link->send_time = tick_count();
        report_trace(report, "Verifying address %#x, image size %#x bytes\n", link->base,
                     (unsigned)link->image_size);
        report_status(report, "Verifying...");
        build_region_crc_request(&link->frame, link->unit_address, link->base,
                                 (uint32_t)link->image_size);
        write_frame(link);
        report_trace(report, "frame length %4d bytes sent\n", (int)link->frame.frame_len);
        break;
    case AwaitResetAck:
        link->send_time = tick_count();
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
    return (uint32_t)(tick_count() - link->send_time) > limit_ms;
}

// The request goes out again because its reply is overdue.
static void resend(DeviceLink *link, uint32_t s)
{
    link->tally.resends++;
    enter_state(link, s);
}

// ---------------------------------------------------------------------------
// Reading replies

// Where the reply starts in count bytes just read: 0 when they pass as they
// are; past the rest of the previous reply when the last read ended on an
// accepted reply that turned out to be the start of a longer one; -1 when
// there is no reply in them. Waiting for the verify answer, only a reply that
// reaches the CRC field counts.
static int32_t reply_start(const DeviceLink *link, const unsigned char *bytes, int32_t count)
{
    int32_t need = link->state == AwaitVerify ? REGION_CRC_REPLY_MIN : REPLY_MIN;
    if (count >= need && reply_bytes_ok(bytes, count))
        return 0;
    if (link->reply_ended_read) {
        int32_t rest = reply_tail_length(bytes, count);
        if (rest > 0 && count - rest >= need && reply_bytes_ok(bytes + rest, count - rest))
            return rest;
    }
    return -1;
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
    int32_t n;
    if (link->reply_complete) {
        n = read_port_until(link->port, link->frame.bytes, capacity, whole_reply, link);
        if (port_lost(link->port))
            link->port_gone = 1;
    } else {
        n = read_port(link->port, link->frame.bytes, capacity);
    }
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

// 1 when a reply was read and passed the acceptance test.
static int read_reply(DeviceLink *link)
{
    read_frame(link);
    take_reply(link);
    return accept_reply(&link->frame);
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
    link->timeout_ms = TRANSFER_TIMEOUT_MS;
    purge_port(link->port);
    flush_port(link->port);
    // Whatever was left of the reply went with the purge.
    link->reply_ended_read = 0;
    enter_state(link, AwaitBlockAck);
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
    if (remote == local) {
        report_trace(report, "CRCs match\n");
        report_status(report, "Program Verified OK");
        enter_state(link, AwaitResetAck);
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

void step_update(DeviceLink *link)
{
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
    default: // Failed, Done and anything unknown: nothing to do
        break;
    }
}
