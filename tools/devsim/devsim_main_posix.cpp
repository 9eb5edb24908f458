// fwu-devsim's I/O shell: the pacing of bytes at wire speed both ways over
// the line (devsim_line_posix.cpp), the timing of replies, signals, and the
// run's end (the reports: devsim_report.cpp). Everything the device does
// with the bytes lives in devsim_core.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "devsim_core.h"
#include "devsim_line.h"
#include "devsim_options.h"
#include "devsim_report.h"

namespace {

enum {
    LINE_BITS_PER_BYTE = 11,       // start, 8 data, parity, stop
    LINE_BAUD = 115200,
    RX_RING_CAPACITY = 1 << 16,
    TX_QUEUE_CAPACITY = 64,
    TX_SLICE_BYTES = 16,           // at most ~1.5 ms of wire time per write
    DRAIN_LIMIT_MS = 2000,         // how long a reset waits for its ack to be read
    STUCK_PAUSE_MS = 10,
    RX_STEP_MS = 2                 // received bytes reach the device this often
};

const uint64_t NS_PER_MS = 1000000ull;
// One byte's wire time, rounded up so received bytes never outrun the wire.
const uint64_t RX_BYTE_NS = (LINE_BITS_PER_BYTE * 1000000000ull + LINE_BAUD - 1) / LINE_BAUD;

struct RxByte {
    unsigned char byte;
    uint64_t due_ns;  // when its last bit has crossed the wire
};

struct Outgoing {
    DevsimReply reply;
    uint64_t ready_ns;  // when the device had the reply ready
};

// The one record of the simulator, picocom style.
struct Sim {
    DevsimOptions opt;
    Devsim dev;

    DevsimLine line;              // the pty master or the serial device

    uint64_t start_ns;
    uint64_t deadline_ns;         // 0: none
    uint64_t next_noise_ns;       // 0: none

    RxByte *rx;                   // ring of received bytes not yet due
    size_t rx_head;
    size_t rx_count;
    uint64_t rx_wire_end_ns;

    Outgoing queue[TX_QUEUE_CAPACITY];
    int queue_head;
    int queue_count;
    uint32_t queue_overflows;

    int tx_active;                // the head reply is being sent
    int tx_chunk;
    int32_t tx_sent;              // bytes of the current chunk written
    uint64_t tx_chunk_start_ns;
    uint64_t line_free_ns;        // when our last byte has crossed the wire
    int tx_blocked;               // the last write would have blocked

    uint64_t rx_bytes;
    uint64_t tx_bytes;
    ExitReason exit_reason;

    int name_devices;             // several devices: every line says which
    uint32_t dumped;              // devices 1..dumped have their dump written
    int dump_failed;
};

Sim sim;

volatile sig_atomic_t stop_signal;
volatile sig_atomic_t faults_off_signal;
volatile sig_atomic_t faults_on_signal;

void on_stop(int)
{
    stop_signal = 1;
}

void on_faults_off(int)
{
    faults_off_signal = 1;
}

void on_faults_on(int)
{
    faults_on_signal = 1;
}

uint64_t mono_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000ull + (uint64_t)now.tv_nsec;
}

uint64_t now_ns(void)
{
    return mono_ns() - sim.start_ns;
}

void pause_ms(uint32_t ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000u;
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

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

// Writes the dump of device number (its flash as it is now), once.
void dump_device(const Devsim *dev, uint32_t device)
{
    if (!sim.opt.dump_path || device <= sim.dumped)
        return;
    sim.dumped = device;
    char path[DEVSIM_PATH_CAPACITY];
    if (dump_path_for(sim.opt.dump_path, device, path, sizeof path) != 0) {
        fprintf(stderr, "fwu-devsim: the dump path of device %u is too long\n", device);
        sim.dump_failed = 1;
        return;
    }
    int rc = device == dev->device ? devsim_write_dump(dev, path, sim.opt.dump_size)
                                   : devsim_write_fresh_dump(&dev->config, path, sim.opt.dump_size);
    if (rc != 0)
        sim.dump_failed = 1;
}

// The device sequence's changes: a device's dump as it leaves, and a line
// for each in the -v log.
void on_device_change(const Devsim *dev, int change, uint64_t t_us, void *)
{
    if (change == ChangeUnplugged)
        dump_device(dev, dev->device);
    if (!sim.opt.verbose || (!sim.name_devices && dev->config.stays.count == 0))
        return;
    double ms = t_us / 1e3;
    switch (change) {
    case ChangeRunning:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: reset, runs its firmware (answers nothing)\n", ms,
                dev->device);
        break;
    case ChangeStaying:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: reset, but stays in its boot loader for %llu ms\n",
                ms, dev->device, (unsigned long long)(dev->config.stay_us / 1000u));
        break;
    case ChangeUnplugged:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: unplugged%s\n", ms, dev->device,
                dev->ended ? ", the last one" : "");
        break;
    case ChangePlugged:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: plugged in, erased flash%s\n", ms, dev->device,
                dev->config.preload ? " but for --flash-from" : "");
        break;
    default:
        break;
    }
}

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

// Reads what has come in and stamps each byte with the time its last bit
// would have crossed a real wire (paced), or with its arrival (not paced).
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

// Hands the device every byte whose time has come, and queues its replies.
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

// Puts reply bytes on the line as their time comes. Returns the time of the
// next thing to do (0: nothing until more comes in).
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

void make_spontaneous_noise(uint64_t now)
{
    if (sim.next_noise_ns == 0 || now < sim.next_noise_ns)
        return;
    // Only on an idle line, and never piling up while nobody reads.
    if (sim.queue_count == 0 && sim.dev.faults_on) {
        DevsimReply noise;
        if (devsim_noise(&sim.dev, sim.opt.config.noise_bytes, &noise) == 0)
            enqueue(&noise, now);
    }
    sim.next_noise_ns = now + sim.opt.noise_every_ms * NS_PER_MS;
}

uint64_t earliest(uint64_t a, uint64_t b)
{
    if (a == 0)
        return b;
    if (b == 0)
        return a;
    return a < b ? a : b;
}

void run(void)
{
    sigset_t wait_mask;
    sigprocmask(SIG_SETMASK, NULL, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGHUP);
    sigdelset(&wait_mask, SIGUSR1);
    sigdelset(&wait_mask, SIGUSR2);

    while (sim.exit_reason == StillRunning) {
        if (stop_signal) {
            sim.exit_reason = ExitSignal;
            break;
        }
        if (faults_off_signal) {
            faults_off_signal = 0;
            sim.dev.faults_on = 0;
        }
        if (faults_on_signal) {
            faults_on_signal = 0;
            sim.dev.faults_on = 1;
        }
        uint64_t now = now_ns();
        if (sim.deadline_ns && now >= sim.deadline_ns) {
            sim.exit_reason = ExitSeconds;
            break;
        }
        release_received(now);
        devsim_advance(&sim.dev, now / 1000u);
        if (devsim_ended(&sim.dev)) {
            sim.exit_reason = ExitReset;
            break;
        }
        make_spontaneous_noise(now);
        uint64_t wake = transmit(now);
        if (sim.exit_reason != StillRunning)
            break;
        if (sim.rx_count > 0)
            wake = earliest(wake, next_release(now));
        uint64_t change_us = 0;
        if (devsim_next_change(&sim.dev, &change_us))
            wake = earliest(wake, change_us * 1000u > now ? change_us * 1000u : now + 1);
        wake = earliest(wake, sim.deadline_ns);
        wake = earliest(wake, sim.next_noise_ns);

        struct pollfd p;
        p.fd = sim.line.fd;
        p.events = 0;
        if (sim.rx_count < RX_RING_CAPACITY)
            p.events |= POLLIN;
        if (sim.tx_blocked)
            p.events |= POLLOUT;
        p.revents = 0;
        struct timespec timeout;
        struct timespec *timeout_at = NULL;
        if (wake != 0) {
            uint64_t wait = wake > now ? wake - now : 0;
            timeout.tv_sec = (time_t)(wait / 1000000000ull);
            timeout.tv_nsec = (long)(wait % 1000000000ull);
            timeout_at = &timeout;
        }
        int ready = ppoll(&p, 1, timeout_at, &wait_mask);
        if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)))
            receive();
    }
}

// After the reset ack: wait until the far end has read it, so closing our
// end does not take it away unread (bounded, in case nobody reads).
void drain_line(void)
{
    if (sim.line.slave_fd < 0) {
        tcdrain(sim.line.fd);
        return;
    }
    // Asked by poll(), which first lets the bytes still on their way into
    // the far end's input (the pty's flip buffer) arrive: FIONREAD counts
    // them only once they are in, and right after a write it often says 0
    // for an ack nobody has read, which a loaded machine can stretch past
    // the checks below.
    int quiet = 0;
    for (int waited = 0; waited < DRAIN_LIMIT_MS && quiet < 2; waited += 2) {
        struct pollfd far_end = {sim.line.slave_fd, POLLIN, 0};
        int ready = poll(&far_end, 1, 0);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (far_end.revents & (POLLERR | POLLNVAL)) != 0)
            break;
        quiet = ready == 0 ? quiet + 1 : 0;
        pause_ms(2);
    }
}

void install_signals(void)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGUSR2);
    // Blocked except inside ppoll, so none slips in between a check and the wait.
    sigprocmask(SIG_BLOCK, &blocked, NULL);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    sa.sa_handler = on_faults_off;
    sigaction(SIGUSR1, &sa, NULL);
    sa.sa_handler = on_faults_on;
    sigaction(SIGUSR2, &sa, NULL);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, NULL);
}

} // namespace

int main(int argc, char **argv)
{
    char err[ERROR_TEXT_CAPACITY] = "";
    int parsed = parse_options(argc, argv, &sim.opt, err, sizeof err);
    if (parsed == 1) {
        print_usage(stdout);
        return 0;
    }
    if (parsed != 0) {
        fprintf(stderr, "fwu-devsim: %s\n(fwu-devsim --help lists the options)\n", err);
        return 2;
    }

    if (sim.opt.flash_from) {
        static unsigned char preload[DEVSIM_APP_SIZE];
        uint32_t len = 0;
        if (load_flash_file(sim.opt.flash_from, preload, sizeof preload, &len, err, sizeof err) != 0) {
            fprintf(stderr, "fwu-devsim: %s\n", err);
            return 2;
        }
        sim.opt.config.preload = preload;
        sim.opt.config.preload_len = len;
    }

    static RxByte ring[RX_RING_CAPACITY];
    sim.rx = ring;
    sim.line.fd = -1;
    sim.line.slave_fd = -1;
    sim.name_devices = sim.opt.config.devices > 1;
    devsim_init(&sim.dev, &sim.opt.config);
    sim.dev.on_change = on_device_change;
    install_signals();

    int opened = sim.opt.attach_path ? devsim_open_device(&sim.line, sim.opt.attach_path)
                                   : devsim_open_pty(&sim.line);
    if (opened != 0)
        return 1;
    if (sim.opt.link_path && devsim_make_link(&sim.line, sim.opt.link_path) != 0)
        return 1;

    printf("%s\n", sim.line.path);
    fflush(stdout);

    sim.start_ns = mono_ns();
    if (sim.opt.seconds)
        sim.deadline_ns = (uint64_t)sim.opt.seconds * 1000u * NS_PER_MS;
    if (sim.opt.noise_every_ms)
        sim.next_noise_ns = sim.opt.noise_every_ms * NS_PER_MS;

    run();
    if (sim.exit_reason == ExitReset)
        drain_line();

    DevsimEnd end;
    end.reason = sim.exit_reason;
    end.rx_bytes = sim.rx_bytes;
    end.tx_bytes = sim.tx_bytes;
    end.reply_overflows = sim.queue_overflows;
    end.elapsed_ms = now_ns() / NS_PER_MS;
    int rc = sim.exit_reason == ExitLineLost ? 1 : 0;
    // The device on the line and those never plugged in; those that left
    // have theirs already.
    for (uint32_t k = sim.dumped + 1; k <= sim.dev.config.devices; k++)
        dump_device(&sim.dev, k);
    if (sim.dump_failed)
        rc = 1;
    if (sim.opt.summary_json && devsim_write_summary_json(&sim.dev, &end, sim.opt.summary_json) != 0)
        rc = 1;
    devsim_print_summary(&sim.dev, &end);
    devsim_remove_link(&sim.line);
    if (sim.line.slave_fd >= 0)
        close(sim.line.slave_fd);
    close(sim.line.fd);
    return rc;
}
