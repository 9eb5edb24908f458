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
const uint64_t RX_BYTE_NS = (DEVSIM_BITS_PER_BYTE * 1000000000ull + DEVSIM_LINE_BAUD - 1) / DEVSIM_LINE_BAUD;

// Bytes that may have crossed the wire in elapsed_ns.
uint64_t wire_bytes(uint64_t elapsed_ns)
{
    return elapsed_ns * DEVSIM_LINE_BAUD / (DEVSIM_BITS_PER_BYTE * 1000000000ull);
}

uint64_t wire_ns(uint64_t bytes)
{
    return (bytes * DEVSIM_BITS_PER_BYTE * 1000000000ull + DEVSIM_LINE_BAUD - 1) / DEVSIM_LINE_BAUD;
}

void log_reply(const DevsimShell *shell, const DevsimReply *r)
{
    if (!shell->opt.verbose)
        return;
    char faults[128] = "";
    size_t used = 0;
    for (int f = 0; f < DEVSIM_FAULT_COUNT; f++) {
        if (r->faults & (1u << f)) {
            int n = snprintf(faults + used, sizeof faults - used, " %s", devsim_fault_name(f));
            if (n > 0 && (size_t)n < sizeof faults - used)
                used += (size_t)n;
        }
    }
    char device[32] = "";
    if (shell->name_devices)
        snprintf(device, sizeof device, "device %u: ", shell->dev.device);
    fprintf(stderr, "fwu-devsim: %8.3f ms %s%s request: %s%s%s\n", devsim_now_ns(shell) / 1e6, device,
            devsim_kind_name(r->kind),
            r->refused ? "refused, no reply" : r->ignored ? "ignored, no reply" : "reply",
            faults[0] ? ", faults:" : "", faults);
}

void begin_chunk(DevsimShell *shell, const DevsimOutgoing *out)
{
    const DevsimChunk *c = &out->reply.chunks[shell->tx_chunk];
    uint64_t start = shell->line_free_ns + c->delay_ms * DEVSIM_NS_PER_MS;
    if (shell->tx_chunk == 0) {
        uint64_t ready = out->ready_ns + c->delay_ms * DEVSIM_NS_PER_MS;
        if (ready > start)
            start = ready;
    }
    shell->tx_chunk_start_ns = start;
    shell->tx_sent = 0;
}

void finish_reply(DevsimShell *shell, const DevsimOutgoing *out)
{
    // The ack has crossed the wire: the device resets now.
    if (out->reply.reset) {
        devsim_reset_left(&shell->dev, shell->line_free_ns / 1000u);
        if (devsim_ended(&shell->dev))
            shell->exit_reason = DevsimExitReset;
    }
    shell->queue_head = (shell->queue_head + 1) % DEVSIM_TX_QUEUE_CAPACITY;
    shell->queue_count--;
    shell->tx_active = 0;
}

} // namespace

void devsim_enqueue(DevsimShell *shell, const DevsimReply *reply, uint64_t ready_ns)
{
    if (shell->queue_count >= DEVSIM_TX_QUEUE_CAPACITY) {
        shell->queue_overflows++;
        return;
    }
    DevsimOutgoing *slot = &shell->queue[(shell->queue_head + shell->queue_count) % DEVSIM_TX_QUEUE_CAPACITY];
    slot->reply = *reply;
    slot->ready_ns = ready_ns;
    shell->queue_count++;
}

void devsim_receive(DevsimShell *shell)
{
    unsigned char buf[4096];
    size_t room = DEVSIM_RX_RING_CAPACITY - shell->rx_count;
    if (room == 0)
        return;
    ssize_t n = read(shell->line.fd, buf, room < sizeof buf ? room : sizeof buf);
    if (n <= 0) {
        // 0 is a hangup; errors other than "nothing there" are failures.
        if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
            // With our own hold on the far end a pty never hangs up; a real
            // device that vanished is no line to simulate on.
            if (shell->line.slave_fd < 0)
                shell->exit_reason = DevsimExitLineLost;
            else
                sleep_ms(DEVSIM_STUCK_PAUSE_MS);
        }
        return;
    }
    uint64_t now = devsim_now_ns(shell);
    for (ssize_t i = 0; i < n; i++) {
        uint64_t due = now;
        if (shell->opt.pace)
            due = (now > shell->rx_wire_end_ns ? now : shell->rx_wire_end_ns) + RX_BYTE_NS;
        shell->rx_wire_end_ns = due;
        DevsimRxByte *slot = &shell->rx[(shell->rx_head + shell->rx_count) % DEVSIM_RX_RING_CAPACITY];
        slot->byte = buf[i];
        slot->due_ns = due;
        shell->rx_count++;
    }
    shell->rx_bytes += (uint64_t)n;
}

void devsim_release_received(DevsimShell *shell, uint64_t now)
{
    while (shell->rx_count > 0) {
        DevsimRxByte *b = &shell->rx[shell->rx_head];
        if (b->due_ns > now)
            return;
        devsim_push(&shell->dev, b->byte, b->due_ns / 1000u);
        shell->rx_head = (shell->rx_head + 1) % DEVSIM_RX_RING_CAPACITY;
        shell->rx_count--;
        DevsimReply reply;
        while (devsim_next(&shell->dev, &reply)) {
            log_reply(shell, &reply);
            devsim_enqueue(shell, &reply, now);
        }
    }
}

// When to hand the device more received bytes: when the last one queued is
// due (a request usually ends there), or in steps of DEVSIM_RX_STEP_MS while
// a long one streams in. Bytes keep their own times, so a later hand-over
// changes nothing but how often we wake (not once per byte, every 95 us).
uint64_t devsim_next_release(const DevsimShell *shell, uint64_t now)
{
    uint64_t front = shell->rx[shell->rx_head].due_ns;
    uint64_t last = shell->rx[(shell->rx_head + shell->rx_count - 1) % DEVSIM_RX_RING_CAPACITY].due_ns;
    uint64_t step = (front > now ? front : now) + DEVSIM_RX_STEP_MS * DEVSIM_NS_PER_MS;
    return last < step ? last : step;
}

uint64_t devsim_transmit(DevsimShell *shell, uint64_t now)
{
    shell->tx_blocked = 0;
    while (shell->queue_count > 0 && shell->exit_reason == DevsimStillRunning) {
        DevsimOutgoing *out = &shell->queue[shell->queue_head];
        if (!shell->tx_active) {
            if (out->reply.chunk_count == 0) {
                finish_reply(shell, out);
                continue;
            }
            shell->tx_active = 1;
            shell->tx_chunk = 0;
            begin_chunk(shell, out);
        }
        const DevsimChunk *c = &out->reply.chunks[shell->tx_chunk];
        if (now < shell->tx_chunk_start_ns)
            return shell->tx_chunk_start_ns;
        int32_t allowed = c->len;
        if (shell->opt.pace) {
            uint64_t may = wire_bytes(now - shell->tx_chunk_start_ns);
            if (may < (uint64_t)allowed) {
                // Whole slices only: a wake-up in the middle of a short
                // reply must not write part of it, for a simulator kept
                // from running (a loaded machine) would then leave a
                // silence inside the reply that no real device leaves.
                int32_t slices = ((int32_t)may - shell->tx_sent) / DEVSIM_TX_SLICE_BYTES;
                allowed = shell->tx_sent + (slices > 0 ? slices : 0) * DEVSIM_TX_SLICE_BYTES;
            }
        }
        if (allowed > shell->tx_sent) {
            size_t want = (size_t)(allowed - shell->tx_sent);
            ssize_t w = write(shell->line.fd, out->reply.bytes + c->off + shell->tx_sent, want);
            if (w > 0) {
                shell->tx_sent += (int32_t)w;
                shell->tx_bytes += (uint64_t)w;
            }
            if (w < 0 || (size_t)w < want) {
                shell->tx_blocked = 1;
                return now + DEVSIM_STUCK_PAUSE_MS * DEVSIM_NS_PER_MS;
            }
        }
        if (shell->tx_sent < c->len) {
            int32_t next = shell->tx_sent + DEVSIM_TX_SLICE_BYTES;
            if (next > c->len)
                next = c->len;
            return shell->tx_chunk_start_ns + wire_ns((uint64_t)next);
        }
        shell->line_free_ns = shell->opt.pace ? shell->tx_chunk_start_ns + wire_ns((uint64_t)c->len) : now;
        shell->tx_chunk++;
        if (shell->tx_chunk < out->reply.chunk_count) {
            begin_chunk(shell, out);
            continue;
        }
        finish_reply(shell, out);
    }
    return 0;
}
