// fwu-devsim's loop: it waits in ppoll for the line, the next byte or
// reply due, a device change, spontaneous noise or the deadline, and takes
// the signals (stop, faults off, faults on) only there. Also the bounded
// wait for the reset ack to be read at the end.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <time.h>

#include "devsim_shell.h"

namespace {

// What the signal handlers leave for the loop. A handler is given no
// context and may only write a sig_atomic_t, so these three flags are the
// shell's only state outside its record; the loop reads them between waits.
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

void make_spontaneous_noise(DevsimShell *shell, uint64_t now)
{
    if (shell->next_noise_ns == 0 || now < shell->next_noise_ns)
        return;
    // Only on an idle line, and never piling up while nobody reads.
    if (shell->queue_count == 0 && shell->dev.faults_on) {
        DevsimReply noise;
        if (devsim_noise(&shell->dev, shell->opt.config.noise_bytes, &noise) == 0)
            devsim_enqueue(shell, &noise, now);
    }
    shell->next_noise_ns = now + shell->opt.noise_every_ms * DEVSIM_NS_PER_MS;
}

uint64_t earliest(uint64_t a, uint64_t b)
{
    if (a == 0)
        return b;
    if (b == 0)
        return a;
    return a < b ? a : b;
}

// What the signals asked for since the last look: 1 to stop.
int take_signals(DevsimShell *shell)
{
    if (stop_signal)
        return 1;
    if (faults_off_signal) {
        faults_off_signal = 0;
        shell->dev.faults_on = 0;
    }
    if (faults_on_signal) {
        faults_on_signal = 0;
        shell->dev.faults_on = 1;
    }
    return 0;
}

// One turn's work at now: received bytes to the device, the device
// sequence, noise, replies onto the line. Returns the time of the next
// thing to do (0: nothing until more comes in); an end sets exit_reason.
uint64_t work(DevsimShell *shell, uint64_t now)
{
    if (shell->deadline_ns && now >= shell->deadline_ns) {
        shell->exit_reason = DevsimExitSeconds;
        return 0;
    }
    devsim_release_received(shell, now);
    devsim_advance(&shell->dev, now / 1000u);
    if (devsim_ended(&shell->dev)) {
        shell->exit_reason = DevsimExitReset;
        return 0;
    }
    make_spontaneous_noise(shell, now);
    uint64_t wake = devsim_transmit(shell, now);
    if (shell->exit_reason != DevsimStillRunning)
        return 0;
    if (shell->rx_count > 0)
        wake = earliest(wake, devsim_next_release(shell, now));
    uint64_t change_us = 0;
    if (devsim_next_change(&shell->dev, &change_us))
        wake = earliest(wake, change_us * 1000u > now ? change_us * 1000u : now + 1);
    wake = earliest(wake, shell->deadline_ns);
    return earliest(wake, shell->next_noise_ns);
}

// Waits for the line, or until wake (0: no limit), with the signals let in.
void wait_for_line(DevsimShell *shell, uint64_t now, uint64_t wake, const sigset_t *wait_mask)
{
    struct pollfd p;
    p.fd = shell->line.fd;
    p.events = 0;
    if (shell->rx_count < DEVSIM_RX_RING_CAPACITY)
        p.events |= POLLIN;
    if (shell->tx_blocked)
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
    int ready = ppoll(&p, 1, timeout_at, wait_mask);
    if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)))
        devsim_receive(shell);
}

} // namespace

void devsim_run(DevsimShell *shell)
{
    sigset_t wait_mask;
    sigprocmask(SIG_SETMASK, NULL, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGHUP);
    sigdelset(&wait_mask, SIGUSR1);
    sigdelset(&wait_mask, SIGUSR2);

    while (shell->exit_reason == DevsimStillRunning) {
        if (take_signals(shell)) {
            shell->exit_reason = DevsimExitSignal;
            break;
        }
        uint64_t now = devsim_now_ns(shell);
        uint64_t wake = work(shell, now);
        if (shell->exit_reason != DevsimStillRunning)
            break;
        wait_for_line(shell, now, wake, &wait_mask);
    }
}

void devsim_drain_line(const DevsimLine *line)
{
    if (line->slave_fd < 0) {
        tcdrain(line->fd);
        return;
    }
    // Asked by poll(), which first lets the bytes still on their way into
    // the far end's input (the pty's flip buffer) arrive: FIONREAD counts
    // them only once they are in, and right after a write it often says 0
    // for an ack nobody has read, which a loaded machine can stretch past
    // the checks below.
    int quiet = 0;
    for (int waited = 0; waited < DEVSIM_DRAIN_LIMIT_MS && quiet < 2; waited += 2) {
        struct pollfd far_end = {line->slave_fd, POLLIN, 0};
        int ready = poll(&far_end, 1, 0);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (far_end.revents & (POLLERR | POLLNVAL)) != 0)
            break;
        quiet = ready == 0 ? quiet + 1 : 0;
        sleep_ms(2);
    }
}

void devsim_install_signals(void)
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
