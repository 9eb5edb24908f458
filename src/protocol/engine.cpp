#include "protocol/engine.h"

#include "protocol/clock.h"
#include "shell/report.h"

void init_link(DeviceLink *link)
{
    link->read_capacity = FRAME_CAPACITY;
    link->unit_address = UNIT_ADDRESS;
    link->port = INVALID_HANDLE_VALUE;
}

static void write_frame(DeviceLink *link)
{
    write_port(link->port, link->frame.bytes, link->frame.frame_len);
}

void enter_state(DeviceLink *link, uint32_t s)
{
    switch (s) {
    case Contact:
        link->block_len = BLOCK_SIZE;
        link->offset = 0;
        link->timeout_ms = LINK_TIMEOUT_MS;
        break;
    case AwaitLink:
        link->send_time = tick_count();
        trace("CONTACTING...\n");
        build_region_crc_request(&link->frame, link->unit_address, link->base, 4);
        write_frame(link);
        // The pause counts towards the probe's age; a device that answers
        // at once has its reply waiting when the tick reads.
        sleep_ms(PROBE_PAUSE_MS);
        break;
    case AwaitBlockAck: {
        link->send_time = tick_count();
        // Never send bytes beyond the image, whatever its size.
        if (link->image_size - link->offset < link->block_len)
            link->block_len = link->image_size - link->offset;
        uint32_t address = link->base + (uint32_t)link->offset;
        trace("PROG ADDR %#x, LEN %#x, FROM %#x...", address,
              (unsigned)link->block_len, (unsigned)link->offset);
        flush_trace();
        set_status("programming %#x", address);
        build_block_request(&link->frame, link->unit_address, address,
                            link->image + link->offset, link->block_len);
        write_frame(link);
        trace(" - SENT - ");
        flush_trace();
        break;
    }
    case AwaitVerify:
        link->send_time = tick_count();
        trace("Verifying address %#x, image size %#x bytes\n", link->base,
              (unsigned)link->image_size);
        set_status("Verifying...");
        build_region_crc_request(&link->frame, link->unit_address, link->base,
                                 (uint32_t)link->image_size);
        write_frame(link);
        trace("frame length %4d bytes sent\n", (int)link->frame.frame_len);
        break;
    case AwaitResetAck:
        link->send_time = tick_count();
        trace("Resetting target\n");
        set_status("Resetting target...");
        build_reset_request(&link->frame, link->unit_address);
        write_frame(link);
        trace("frame length %4d bytes sent\n", (int)link->frame.frame_len);
        break;
    case Done:
        set_status("Programming Completed OK");
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

// Reads whatever the device sent into the frame buffer, over the request.
static int32_t read_frame(DeviceLink *link)
{
    uint32_t capacity = link->read_capacity;
    if (capacity > FRAME_CAPACITY)
        capacity = FRAME_CAPACITY;
    int32_t n = read_port(link->port, link->frame.bytes, capacity);
    if (n < 0 || (uint32_t)n > capacity)
        n = 0;
    link->frame.frame_len = n;
    return n;
}

// 1 when a reply was read and passed the acceptance test.
static int read_reply(DeviceLink *link)
{
    read_frame(link);
    return accept_reply(&link->frame);
}

static void await_link(DeviceLink *link)
{
    if (overdue(link, link->timeout_ms))
        enter_state(link, AwaitLink);
    int32_t n = read_frame(link);
    if (n > 0) {
        trace("RX:");
        for (int32_t i = 0; i < n; i++)
            trace(" %02x", link->frame.bytes[i]);
        trace("\n");
    }
    if (!accept_reply(&link->frame))
        return;
    trace("REMOTE DEVICE LINK ESTABLISHED\n");
    link->timeout_ms = TRANSFER_TIMEOUT_MS;
    purge_port(link->port);
    flush_port(link->port);
    enter_state(link, AwaitBlockAck);
}

static void await_block_ack(DeviceLink *link)
{
    if (overdue(link, link->timeout_ms)) {
        trace("TIMEOUT\n");
        enter_state(link, AwaitBlockAck);
    }
    if (!read_reply(link))
        return;
    trace("- OK\n");
    flush_trace();
    link->offset += link->block_len;
    if (link->offset < link->image_size) {
        enter_state(link, AwaitBlockAck);  // shortens a last partial block
    } else {
        enter_state(link, AwaitVerify);
    }
}

static void await_verify(DeviceLink *link)
{
    if (overdue(link, link->timeout_ms))
        enter_state(link, AwaitVerify);
    if (!read_reply(link))
        return;
    // A reply that passes the CRC test but ends before the CRC field would
    // leave stale buffer bytes to decide the outcome: it is not an answer,
    // and the resend on timeout takes over.
    if (link->frame.frame_len < REGION_CRC_REPLY_MIN)
        return;
    uint16_t remote = reply_region_crc(&link->frame);
    uint16_t local = crc16(link->image, link->image_size);
    trace("Remote CRC %#x\n", (unsigned)remote);
    trace("Local  CRC %#x\n", (unsigned)local);
    if (remote == local) {
        trace("CRCs match\n");
        set_status("Program Verified OK");
        enter_state(link, AwaitResetAck);
    } else {
        trace("CRC FAIL\n");
        set_status("FAILED");
        enter_state(link, Failed);
    }
}

static void await_reset_ack(DeviceLink *link)
{
    if (overdue(link, RESET_RETRY_MS))
        enter_state(link, AwaitResetAck);
    if (!read_reply(link))
        return;
    trace("frame length %4d bytes received & OK\n", (int)link->frame.frame_len);
    enter_state(link, Done);
}

void step_update(DeviceLink *link)
{
    switch (link->state) {
    case Start:
        enter_state(link, Contact);
        break;
    case Contact:
        set_status("Establishing Link...");
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
