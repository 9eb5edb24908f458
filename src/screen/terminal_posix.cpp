// The terminal the tool runs in: the screen is drawn on it and the keys are
// read from it, through a descriptor of our own, so that standard output
// (the trace) and standard error stay free for redirection.
#include "screen/screen_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef _POSIX_VDISABLE
#define _POSIX_VDISABLE '\0'
#endif

// Alternate screen on, cursor hidden; and back.
static const char ENTER_SCREEN[] = "\033[?1049h\033[?25l\033[H\033[2J";
static const char LEAVE_SCREEN[] = "\033[0m\033[?25h\033[?1049l";


static int tty_fd = -1;
static struct termios saved_modes;
static struct termios raw_modes;
static volatile sig_atomic_t raw_wanted;     // the screen is up: raw modes belong on the terminal
static volatile sig_atomic_t modes_changed;  // raw modes are on it now (read by the handlers)
static volatile sig_atomic_t pending_signal;
static volatile sig_atomic_t resized;

// A signal handler writes a byte here and terminal_wait polls for it beside
// the keys, so a signal that lands just before the wait still ends it.
static int wake_pipe[2] = {-1, -1};

// ---------------------------------------------------------------------------
// Restoring, also from a signal handler (only async-signal-safe calls)

static void put_raw(const char *bytes, size_t count)
{
    ssize_t ignored = write(tty_fd, bytes, count);
    (void)ignored;
}

static void restore_now(void)
{
    if (!modes_changed || tty_fd < 0)
        return;
    (void)tcsetattr(tty_fd, TCSANOW, &saved_modes);
    put_raw(LEAVE_SCREEN, sizeof LEAVE_SCREEN - 1);
    modes_changed = 0;
}

void terminal_restore(void)
{
    raw_wanted = 0;
    restore_now();
}

static void wake_loop(void)
{
    if (wake_pipe[1] >= 0) {
        ssize_t ignored = write(wake_pipe[1], "", 1);  // full: a wake-up is waiting anyway
        (void)ignored;
    }
}

static void on_end_signal(int sig)
{
    int saved_errno = errno;
    if (pending_signal == 0) {
        pending_signal = sig;  // the main loop ends the process between ticks
        wake_loop();
        errno = saved_errno;
        return;
    }
    // Still not acted on: the loop is stuck. Give the terminal and the
    // port's lock file back, and end by the signal.
    restore_now();
    remove_port_locks();
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

static void on_resize(int sig)
{
    (void)sig;
    int saved_errno = errno;
    resized = 1;
    wake_loop();
    errno = saved_errno;
}

static void reenter_raw(void);

// Suspended (kill -TSTP; the suspend key itself is off): the terminal goes
// back to the shell as it was found, then the process stops.
static void on_suspend(int sig)
{
    int saved_errno = errno;
    restore_now();
    signal(sig, SIG_DFL);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, sig);
    sigprocmask(SIG_UNBLOCK, &just_this, NULL);
    raise(sig);  // stops here until SIGCONT
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = on_suspend;
    sigaction(sig, &action, NULL);
    // An orphaned process group is not stopped at all (the signal is
    // dropped, and no SIGCONT follows): the screen comes back at once.
    reenter_raw();
    errno = saved_errno;
}

// Continued (after a suspension or a SIGSTOP, during which the shell set
// the terminal its own way): raw modes and the screen back, and a redraw.
static void on_continue(int sig)
{
    (void)sig;
    int saved_errno = errno;
    if (raw_wanted && tty_fd >= 0) {
        (void)tcsetattr(tty_fd, TCSANOW, &raw_modes);
        if (!modes_changed)
            put_raw(ENTER_SCREEN, sizeof ENTER_SCREEN - 1);
        modes_changed = 1;
        resized = 1;
        wake_loop();
    }
    errno = saved_errno;
}

// The screen back when it was given up for a stop that did not happen (or
// whose SIGCONT came first).
static void reenter_raw(void)
{
    if (raw_wanted && !modes_changed)
        on_continue(SIGCONT);
}

static void install_handlers(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait for keys returns at once
    action.sa_handler = on_end_signal;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGHUP, &action, NULL);
    // These three only mark work for the loop (and wake it): calls they
    // interrupt, such as a write of the trace, carry on.
    action.sa_flags = SA_RESTART;
    action.sa_handler = on_resize;
    sigaction(SIGWINCH, &action, NULL);
    action.sa_handler = on_suspend;
    sigaction(SIGTSTP, &action, NULL);
    action.sa_handler = on_continue;
    sigaction(SIGCONT, &action, NULL);
    // A trace piped into a reader that went away must not end the update.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, NULL);
}

int terminal_pending_signal(void)
{
    return pending_signal;
}

void terminal_take_signal(void)
{
    pending_signal = 0;
}

int terminal_take_resize(void)
{
    if (!resized)
        return 0;
    resized = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Taking the terminal

// Our own descriptor for the terminal on standard input, open for reading
// and writing (standard input may be open for reading only).
// It is never 0, 1 or 2, whatever of those is closed: the trace's
// redirection of standard output must not land on it.
static int open_own_descriptor(void)
{
    const char *name = ttyname(STDIN_FILENO);
    if (name != NULL) {
        int fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 3)
            return fd;
        if (fd >= 0) {
            int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            close(fd);
            if (high >= 0)
                return high;
        }
    }
    int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) != O_RDWR)
        return -1;
    return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
}

// The wake-up pipe, both ends non-blocking and above 2.
static int open_wake_pipe(void)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    int failed = 0;
    for (int i = 0; i < 2; ++i) {
        wake_pipe[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
        close(fds[i]);
        if (wake_pipe[i] < 0 || fcntl(wake_pipe[i], F_SETFL, O_NONBLOCK) != 0)
            failed = 1;
    }
    if (failed) {
        for (int i = 0; i < 2; ++i) {
            if (wake_pipe[i] >= 0)
                close(wake_pipe[i]);
            wake_pipe[i] = -1;
        }
        return -1;
    }
    return 0;
}

int terminal_open(char *why, size_t why_size)
{
    if (!isatty(STDIN_FILENO)) {
        snprintf(why, why_size, "standard input is not a terminal: fwu draws its screen on the "
                                "terminal it is run from and reads its keys there");
        return -1;
    }
    tty_fd = open_own_descriptor();
    if (tty_fd < 0) {
        snprintf(why, why_size,
                 "cannot open the terminal on standard input for reading and writing");
        return -1;
    }
    if (tcgetattr(tty_fd, &saved_modes) != 0) {
        close(tty_fd);
        tty_fd = -1;
        snprintf(why, why_size, "cannot read the terminal's settings");
        return -1;
    }
    if (open_wake_pipe() != 0) {
        close(tty_fd);
        tty_fd = -1;
        snprintf(why, why_size, "cannot make a pipe for signals");
        return -1;
    }
    install_handlers();

    // Keys one at a time, unechoed; reads return at once with what is there
    // (terminal_wait does the waiting). Ctrl-C still interrupts. No XON/XOFF:
    // a stray Ctrl-S would stop the screen, and with it the update. No
    // suspend or quit key, which would leave the terminal raw.
    struct termios raw = saved_modes;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHONL | IEXTEN);
    raw.c_iflag &= ~(tcflag_t)(ICRNL | INLCR | IGNCR | IXON | IXOFF);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
    raw_modes = raw;
    raw_wanted = 1;
    modes_changed = 1;
    if (tcsetattr(tty_fd, TCSAFLUSH, &raw) != 0) {
        raw_wanted = 0;
        modes_changed = 0;
        close(tty_fd);
        tty_fd = -1;
        snprintf(why, why_size, "cannot set the terminal's modes");
        return -1;
    }
    terminal_write(ENTER_SCREEN, sizeof ENTER_SCREEN - 1);
    return 0;
}

int terminal_is(int fd)
{
    struct stat ours, theirs;
    if (tty_fd < 0 || fstat(tty_fd, &ours) != 0 || fstat(fd, &theirs) != 0)
        return 0;
    return S_ISCHR(theirs.st_mode) && theirs.st_rdev == ours.st_rdev;
}

void terminal_size(int *rows, int *cols)
{
    struct winsize size;
    *rows = 24;
    *cols = 80;
    if (tty_fd >= 0 && ioctl(tty_fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 &&
        size.ws_col > 0) {
        *rows = size.ws_row;
        *cols = size.ws_col;
    }
}

// ---------------------------------------------------------------------------
// Output

void terminal_write(const char *bytes, size_t count)
{
    size_t done = 0;
    while (tty_fd >= 0 && done < count) {
        ssize_t n = write(tty_fd, bytes + done, count - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR && pending_signal == 0)
            continue;
        return;  // the terminal is gone (or we are being ended): drop the rest
    }
}

void terminal_bell(void)
{
    terminal_write("\a", 1);
}

// ---------------------------------------------------------------------------
// Input

TerminalWait terminal_wait(int timeout_ms)
{
    struct pollfd ready[2];
    ready[0].fd = tty_fd;
    ready[0].events = POLLIN;
    ready[0].revents = 0;
    ready[1].fd = wake_pipe[0];
    ready[1].events = POLLIN;
    ready[1].revents = 0;
    int n = poll(ready, 2, timeout_ms);
    if (n < 0)
        return errno == EINTR ? WAIT_NOTHING : WAIT_GONE;
    if (ready[1].revents & POLLIN) {
        // A signal came: empty the pipe and let the loop act on it.
        char drained[64];
        while (read(wake_pipe[0], drained, sizeof drained) > 0) {
        }
        return WAIT_NOTHING;
    }
    if (n == 0)
        return WAIT_NOTHING;
    if (ready[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        return WAIT_GONE;  // hung up, or no longer a descriptor
    return WAIT_KEYS;
}

// Reads what terminal_wait found waiting. Returns the byte count, or -1 when
// the terminal is gone (nothing to read after all: end of file).
int terminal_read(unsigned char *bytes, size_t capacity)
{
    for (;;) {
        ssize_t n = read(tty_fd, bytes, capacity);
        if (n > 0)
            return (int)n;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return -1;
    }
}
