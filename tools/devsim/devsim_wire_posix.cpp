// fwu-devsim's bytes on the line, paced at 115200 8E1 wire speed both
// ways (unless --no-pace): received bytes reach the device no sooner than a
// real wire would deliver them, and replies leave in whole slices at the
// wire's rate, their chunks' silences kept. Also the queue of replies and
// the -v line of each.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "devsim_shell.h"

namespace {

// One byte's wire time, rounded up so received bytes never outrun the wire.
const uint64_t RX_BYTE_NS = (LINE_BITS_PER_BYTE * 1000000000ull + LINE_BAUD - 1) / LINE_BAUD;

// Bytes that may have crossed the wire in elapsed_ns.
uint64_t wire_bytes(uint64_t elapsed_ns)
{
    return elapsed_ns * LINE_BAUD / (LINE_BITS_PER_BYTE * 1000000000ull);
}

uint64_t wire_ns(uint64_t bytes)
{
    return (bytes * LINE_BITS_PER_BYTE * 1000000000ull + LINE_BAUD - 1) / LINE_BAUD;
}

void log_reply(const DevsimReply *r)
{
    if (!sim.opt.verbose)
        return;
    char faults[128] = "";
    size_t used = 0;
    for (int f = 0; f < FAULT_COUNT; f++) {
        if (r->faults & (1u << f)) {
            int n = snprintf(faults + used, sizeof faults - used, " %s", devsim_fault_name(f));
            if (n > 0 && (size_t)n < sizeof faults - used)
                used += (size_t)n;
        }
    }
    char device[32] = "";
    if (sim.name_devices)
        snprintf(device, sizeof device, "device %u: ", sim.dev.device);
    fprintf(stderr, "fwu-devsim: %8.3f ms %s%s request: %s%s%s\n", now_ns() / 1e6, device,
            devsim_kind_name(r->kind), r->refused ? "refused, no reply" : "reply",
            faults[0] ? ", faults:" : "", faults);
}

void begin_chunk(const Outgoing *out)
{
    const DevsimChunk *c = &out->reply.chunks[sim.tx_chunk];
    uint64_t start = sim.line_free_ns + c->delay_ms * NS_PER_MS;
    if (sim.tx_chunk == 0) {
        uint64_t ready = out->ready_ns + c->delay_ms * NS_PER_MS;
        if (ready > start)
            start = ready;
    }
    sim.tx_chunk_start_ns = start;
    sim.tx_sent = 0;
}

void finish_reply(const Outgoing *out)
{
    // The ack has crossed the wire: the device resets now.
    if (out->reply.reset) {
        devsim_reset_left(&sim.dev, sim.line_free_ns / 1000u);
        if (devsim_ended(&sim.dev))
            sim.exit_reason = ExitReset;
    }
    sim.queue_head = (sim.queue_head + 1) % TX_QUEUE_CAPACITY;
    sim.queue_count--;
    sim.tx_active = 0;
}

} // namespace

void enqueue(const DevsimReply *reply, uint64_t ready_ns)
{
    if (sim.queue_count >= TX_QUEUE_CAPACITY) {
        sim.queue_overflows++;
        return;
    }
    Outgoing *slot = &sim.queue[(sim.queue_head + sim.queue_count) % TX_QUEUE_CAPACITY];
    slot->reply = *reply;
    slot->ready_ns = ready_ns;
    sim.queue_count++;
}

void receive(void)
{
    unsigned char buf[4096];
    size_t room = RX_RING_CAPACITY - sim.rx_count;
    if (room == 0)
        return;
    ssize_t n = read(sim.line.fd, buf, room < sizeof buf ? room : sizeof buf);
    if (n <= 0) {
        // 0 is a hangup; errors other than "nothing there" are failures.
        if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
            // With our own hold on the far end a pty never hangs up; a real
            // device that vanished is no line to simulate on.
            if (sim.line.slave_fd < 0)
                sim.exit_reason = ExitLineLost;
            else
                pause_ms(STUCK_PAUSE_MS);
        }
        return;
    }
    uint64_t now = now_ns();
    for (ssize_t i = 0; i < n; i++) {
        uint64_t due = now;
        if (sim.opt.pace)
            due = (now > sim.rx_wire_end_ns ? now : sim.rx_wire_end_ns) + RX_BYTE_NS;
        sim.rx_wire_end_ns = due;
        RxByte *slot = &sim.rx[(sim.rx_head + sim.rx_count) % RX_RING_CAPACITY];
        slot->byte = buf[i];
        slot->due_ns = due;
        sim.rx_count++;
    }
    sim.rx_bytes += (uint64_t)n;
}

void release_received(uint64_t now)
{
    while (sim.rx_count > 0) {
        RxByte *b = &sim.rx[sim.rx_head];
        if (b->due_ns > now)
            return;
        devsim_push(&sim.dev, b->byte, b->due_ns / 1000u);
        sim.rx_head = (sim.rx_head + 1) % RX_RING_CAPACITY;
        sim.rx_count--;
        DevsimReply reply;
        while (devsim_next(&sim.dev, &reply)) {
            log_reply(&reply);
            enqueue(&reply, now);
        }
    }
}

// When to hand the device more received bytes: when the last one queued is
// due (a request usually ends there), or in steps of RX_STEP_MS while a long
// one streams in. Bytes keep their own times, so a later hand-over changes
// nothing but how often we wake (not once per byte, every 95 us).
uint64_t next_release(uint64_t now)
{
    uint64_t front = sim.rx[sim.rx_head].due_ns;
    uint64_t last = sim.rx[(sim.rx_head + sim.rx_count - 1) % RX_RING_CAPACITY].due_ns;
    uint64_t step = (front > now ? front : now) + RX_STEP_MS * NS_PER_MS;
    return last < step ? last : step;
}

uint64_t transmit(uint64_t now)
{
    sim.tx_blocked = 0;
    while (sim.queue_count > 0 && sim.exit_reason == StillRunning) {
        Outgoing *out = &sim.queue[sim.queue_head];
        if (!sim.tx_active) {
            if (out->reply.chunk_count == 0) {
                finish_reply(out);
                continue;
            }
            sim.tx_active = 1;
            sim.tx_chunk = 0;
            begin_chunk(out);
        }
        const DevsimChunk *c = &out->reply.chunks[sim.tx_chunk];
        if (now < sim.tx_chunk_start_ns)
            return sim.tx_chunk_start_ns;
        int32_t allowed = c->len;
        if (sim.opt.pace) {
            uint64_t may = wire_bytes(now - sim.tx_chunk_start_ns);
            if (may < (uint64_t)allowed) {
                // Whole slices only: a wake-up in the middle of a short
                // reply must not write part of it, for a simulator kept
                // from running (a loaded machine) would then leave a
                // silence inside the reply that no real device leaves.
                int32_t slices = ((int32_t)may - sim.tx_sent) / TX_SLICE_BYTES;
                allowed = sim.tx_sent + (slices > 0 ? slices : 0) * TX_SLICE_BYTES;
            }
        }
        if (allowed > sim.tx_sent) {
            size_t want = (size_t)(allowed - sim.tx_sent);
            ssize_t w = write(sim.line.fd, out->reply.bytes + c->off + sim.tx_sent, want);
            if (w > 0) {
                sim.tx_sent += (int32_t)w;
                sim.tx_bytes += (uint64_t)w;
            }
            if (w < 0 || (size_t)w < want) {
                sim.tx_blocked = 1;
                return now + STUCK_PAUSE_MS * NS_PER_MS;
            }
        }
        if (sim.tx_sent < c->len) {
            int32_t next = sim.tx_sent + TX_SLICE_BYTES;
            if (next > c->len)
                next = c->len;
            return sim.tx_chunk_start_ns + wire_ns((uint64_t)next);
        }
        sim.line_free_ns = sim.opt.pace ? sim.tx_chunk_start_ns + wire_ns((uint64_t)c->len) : now;
        sim.tx_chunk++;
        if (sim.tx_chunk < out->reply.chunk_count) {
            begin_chunk(out);
            continue;
        }
        finish_reply(out);
    }
    return 0;
}
