// fwu-devsim's loop: it waits in ppoll for the line, the next byte or
// reply due, a device change, spontaneous noise or the deadline, and takes
// the signals (stop, faults off, faults on) only there. Also the clock and
// the bounded wait for the reset ack to be read at the end.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <time.h>

#include "devsim_shell.h"

namespace {

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

} // namespace

uint64_t now_ns(void)
{
    return (uint64_t)monotonic_ns() - sim.start_ns;
}

void pause_ms(uint32_t ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000u;
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

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

} // namespace

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
