// The serial link on POSIX systems (Linux first): termios for the line,
// ppoll() on the monotonic clock for the timing of reads and writes, a lock
// file, flock() and TIOCEXCL for exclusive use, sysfs for telling which
// devices are terminals. (Discovery: discover_posix.cpp; lock files:
// lock_posix.cpp.)
//
// The handle is a record of our own: the descriptor and what the link keeps
// about the port.
#include "serial/serial.h"
#include "serial/posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

// Mark/space parity and hardware flow control are not in every termios;
// where a system lacks them there is nothing to clear.
#ifndef CMSPAR
#define CMSPAR 0
#endif
#ifndef CRTSCTS
#define CRTSCTS 0
#endif

// ---------------------------------------------------------------------------
// The port record

struct SerialPort {
    int fd;
    uint32_t interval_ms;  // read interval; 0: no limit between bytes, only the total
    uint32_t baud;         // line speed, for the bound on writes and drains
    int lost;              // the system reported the device gone
    int latency_saved;     // saved_flags holds the serial flags to restore
    int saved_flags;
    PortLock lock;         // the lock file taken, if any
    char note[LOCK_NOTE_CAPACITY];  // for port_note; "" when none
};

static int port_fd(PortHandle port)
{
    return port != NO_PORT ? port->fd : -1;
}

static PortHandle new_port(int fd)
{
    PortHandle port = (PortHandle)calloc(1, sizeof(SerialPort));
    if (port == NO_PORT)
        return NO_PORT;
    port->fd = fd;
    port->interval_ms = READ_INTERVAL_MS;
    port->baud = LINE_BAUD;
    port->lock.slot = -1;
    return port;
}

int port_descriptor(PortHandle port)
{
    return port_fd(port);
}

PortHandle port_from_descriptor(int fd)
{
    return fd >= 0 ? new_port(fd) : NO_PORT;
}

static int64_t monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// ---------------------------------------------------------------------------
// Open, configure, close

// Why the last open_port of this thread refused its port, beyond errno, for
// describe_open_failure and port_refused (each of the command line's
// threads opens its own port).
struct BusyDetail {
    char device[PORT_NAME_CAPACITY];
    int not_a_port;    // refused as no serial adapter (ENOTTY, EPERM) by our own checks
    long holder;
    char lock_path[LOCK_PATH_CAPACITY];
    char command[32];  // the holder's name, when it holds the device without a lock file
};

static thread_local BusyDetail busy_detail;

// 1 for a pseudo-terminal's slave side (Unix98 majors 136-143, the old BSD
// ones major 3).
static int pseudo_terminal(dev_t rdev)
{
    unsigned major_number = major(rdev);
    return (major_number >= 136 && major_number <= 143) || major_number == 3;
}

// 1 when the character device numbered rdev belongs to the tty subsystem as
// sysfs tells it. Pseudo-terminal slaves have no sysfs entry; without sysfs
// at all the isatty check has to do.
static int tty_device_number(dev_t rdev)
{
    unsigned major_number = major(rdev), minor_number = minor(rdev);
    if (pseudo_terminal(rdev))
        return 1;
    struct stat sysfs;
    if (stat("/sys/dev/char", &sysfs) != 0)
        return 1;
    char path[96], target[PATH_MAX];
    snprintf(path, sizeof path, "/sys/dev/char/%u:%u/subsystem", major_number, minor_number);
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    const char *last = strrchr(target, '/');
    return strcmp(last != NULL ? last + 1 : target, "tty") == 0;
}

// The controlling terminal's device number from field 7 (tty_nr) of
// /proc/self/stat, or 0 when there is none (or no /proc).
static dev_t controlling_terminal(void)
{
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[512];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    // The command name (field 2) is in parentheses and may hold anything,
    // parentheses and spaces included; the fields after it are numbers.
    const char *p = strrchr(text, ')');
    if (p == NULL)
        return 0;
    ++p;
    for (int field = 3; field < 7; ++field) {
        while (*p == ' ')
            ++p;
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    char *end = NULL;
    long long tty_nr = strtoll(p, &end, 10);
    if (end == p || tty_nr <= 0 || tty_nr > 0xffffffffLL)
        return 0;
    // The kernel's encoding: major in bits 8-19, minor in bits 0-7 and 20-31.
    unsigned value = (unsigned)tty_nr;
    unsigned major_number = (value >> 8) & 0xfffu;
    unsigned minor_number = (value & 0xffu) | ((value >> 12) & 0xfff00u);
    return makedev(major_number, minor_number);
}

// 1 when the terminal numbered rdev cannot be the adapter: /dev/tty,
// /dev/console, /dev/ptmx, a virtual console, the controlling terminal, or
// the terminal on standard input, output or error (the one the screen is
// drawn on).
static int refused_terminal(dev_t rdev)
{
    unsigned major_number = major(rdev), minor_number = minor(rdev);
    if (major_number == 5 && minor_number <= 2)
        return 1;
    if (major_number == 4 && minor_number <= 63)
        return 1;
    if (rdev == controlling_terminal())
        return 1;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev)
            return 1;
    }
    return 0;
}

// Closes fd (when open) and refuses the open with error.
static PortHandle refuse(int fd, int error)
{
    if (fd >= 0)
        close(fd);
    errno = error;
    return NO_PORT;
}

// Refuses name as no serial adapter: error is ENOTTY (not a terminal) or
// EPERM (a terminal that is not the adapter: this program's, a console).
static PortHandle refuse_not_a_port(int fd, const char *name, int error)
{
    snprintf(busy_detail.device, sizeof busy_detail.device, "%s", name);
    busy_detail.not_a_port = 1;
    return refuse(fd, error);
}

// 0 when st is a device that may be the adapter; else the error to refuse it with.
static int port_kind_error(const struct stat *st)
{
    if (!S_ISCHR(st->st_mode) || !tty_device_number(st->st_rdev))
        return ENOTTY;
    if (refused_terminal(st->st_rdev))
        return EPERM;
    return 0;
}

PortHandle open_port(const char *name)
{
    memset(&busy_detail, 0, sizeof busy_detail);

    // Every refusal leaves errno saying why, for the operator's error report.
    if (!port_name_ok(name)) {
        errno = name != NULL && name[0] != '\0' ? ENAMETOOLONG : ENOENT;
        return NO_PORT;
    }

    // Only terminals are ports. Some devices act on being opened at all (a
    // watchdog arms itself), so the named device is looked at before the
    // open; what was opened is then judged again (a link changed after the
    // look cannot slip anything else in), before any ioctl, lock or write.
    struct stat named;
    if (stat(name, &named) != 0)
        return NO_PORT;
    int kind_error = port_kind_error(&named);
    if (kind_error != 0)
        return refuse_not_a_port(-1, name, kind_error);

    // Non-blocking so that the open does not wait for a carrier, and kept so:
    // reads and writes wait in ppoll. Never made the controlling terminal.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return NO_PORT;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return refuse(fd, errno);
    kind_error = port_kind_error(&st);
    if (kind_error == 0 && (st.st_rdev != named.st_rdev || !isatty(fd)))
        kind_error = ENOTTY;
    if (kind_error != 0)
        return refuse_not_a_port(fd, name, kind_error);

    PortHandle port = new_port(fd);
    if (port == NO_PORT)
        return refuse(fd, ENOMEM);

    // The lock file first, so that a port a terminal program holds is left
    // exactly as it is.
    int locked = take_port_lock(fd, name, &port->lock, port->note, sizeof port->note);
    if (locked < 0) {
        snprintf(busy_detail.device, sizeof busy_detail.device, "%s", name);
        busy_detail.holder = port->lock.holder;
        snprintf(busy_detail.lock_path, sizeof busy_detail.lock_path, "%s", port->lock.path);
        free(port);
        return refuse(fd, EBUSY);
    }

    // A real serial line has one user. A program that opened it earlier and
    // takes no lock (cat, a modem manager) would take replies meant for us.
    // A pseudo-terminal's far end is held by the program that made it (a
    // simulator, a terminal), so there another holder is normal.
    if (!pseudo_terminal(st.st_rdev)) {
        long other = find_other_holder("/proc", st.st_rdev, busy_detail.command,
                                       sizeof busy_detail.command);
        if (other > 0) {
            snprintf(busy_detail.device, sizeof busy_detail.device, "%s", name);
            busy_detail.holder = other;
            release_port_lock(&port->lock);
            free(port);
            return refuse(fd, EBUSY);
        }
    }

    // Exclusive use. flock refuses a second opener on this machine that also
    // locks, root included; TIOCEXCL then refuses other programs that do not
    // (it does not stop root).
    int flocked;
    do {
        flocked = flock(fd, LOCK_EX | LOCK_NB);
    } while (flocked != 0 && errno == EINTR);
    if (flocked != 0) {
        release_port_lock(&port->lock);
        free(port);
        return refuse(fd, EBUSY);
    }
    (void)ioctl(fd, TIOCEXCL);
    return port;
}

// The termios speed for a line speed in baud, or 0 when there is none.
static int speed_for(uint32_t baud, speed_t *speed)
{
    static const struct {
        uint32_t baud;
        speed_t speed;
    } speeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},   {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
        {230400, B230400},
    };
    for (size_t i = 0; i < sizeof speeds / sizeof speeds[0]; ++i) {
        if (speeds[i].baud == baud) {
            *speed = speeds[i].speed;
            return 1;
        }
    }
    return 0;
}

void set_line_settings(struct termios *tio, speed_t speed)
{
    // Raw bytes in both directions: no echo, no line editing, no signals, no
    // CR/NL translation, no stripping of the eighth bit. A break arrives as
    // a 0 byte, like any other character the line delivers.
    tio->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    // Even parity is sent and received, but bytes with a parity error are
    // passed on as they came, not flagged or dropped.
    tio->c_iflag &= ~(tcflag_t)(INPCK | IGNPAR);
    // No software flow control.
    tio->c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    tio->c_oflag &= ~(tcflag_t)OPOST;
    tio->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // 8E1, no hardware flow control, modem lines ignored, receiver on.
    tio->c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARODD | CMSPAR | CRTSCTS);
    tio->c_cflag |= (tcflag_t)(CS8 | PARENB | CLOCAL | CREAD);
    // read() returns at once with what is there; read_port does the timing.
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
}

int configure_port(PortHandle port, uint32_t baud, uint32_t read_interval_ms)
{
    int fd = port_fd(port);
    struct termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }

    // A speed the terminal interface cannot express is not set half-way.
    speed_t speed;
    if (!speed_for(baud, &speed))
        return -1;

    port->interval_ms = read_interval_ms;
    port->baud = baud;
    set_line_settings(&tio, speed);

    // As on Windows, the update goes ahead on whatever the driver accepted.
    (void)tcsetattr(fd, TCSANOW, &tio);

    // DTR and RTS inactive. Pseudo-terminals have no modem lines and say
    // so (ENOTTY or EINVAL); that is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIC, &lines);

    return 0;
}

void close_port(PortHandle port)
{
    if (port == NO_PORT)
        return;
    int fd = port->fd;
    if (fd >= 0) {
        if (port->latency_saved) {
            struct serial_struct serial;
            if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
                serial.flags = port->saved_flags;
                (void)ioctl(fd, TIOCSSERIAL, &serial);
            }
        }
        // Exclusive mode belongs to the terminal, not to this descriptor:
        // give it back so that the next opener is not refused. The flock
        // goes with the descriptor.
        (void)ioctl(fd, TIOCNXCL);
        close(fd);
    }
    release_port_lock(&port->lock);
    free(port);
}

// ---------------------------------------------------------------------------
// I/O

// errno values by which a read or write says the device itself is gone
// (unplugged adapter, hung-up pseudo-terminal), not just that nothing came.
static int device_vanished(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE ||
           error == EBADF;
}

// The longest a write of count bytes (or a drain of that many) may take:
// their time on the line at the port's speed, 11 bits a byte (start, 8 data,
// parity, stop), plus 2 s for the driver and the adapter.
static int64_t transfer_bound_ns(const SerialPort *port, int64_t count)
{
    int64_t baud = port->baud > 0 ? (int64_t)port->baud : (int64_t)LINE_BAUD;
    int64_t bits = count * 11;  // whole seconds and the rest apart: no overflow
    return bits / baud * 1000000000 + bits % baud * 1000000000 / baud + (int64_t)2000000000;
}

static struct timespec timespec_of(int64_t ns)
{
    struct timespec t;
    t.tv_sec = (time_t)(ns / 1000000000);
    t.tv_nsec = (long)(ns % 1000000000);
    return t;
}

// Reads until capacity bytes are in, or the interval passes between two
// bytes, or READ_TOTAL_MS pass in all, or is_whole says the bytes so far make
// a reply, or the device goes away (*gone = 1).
static int32_t read_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                          ReplyCheck is_whole, void *context, int *gone)
{
    const int fd = port->fd;
    if (capacity > (uint32_t)INT32_MAX)
        capacity = (uint32_t)INT32_MAX;

    const int64_t interval_ns = (int64_t)port->interval_ms * 1000000;
    const int64_t total_end = monotonic_ns() + (int64_t)READ_TOTAL_MS * 1000000;
    int64_t last_byte = 0;
    uint32_t got = 0;

    while (got < capacity) {
        // Until the total runs out, or, once bytes came, until the line has
        // been quiet for the interval.
        int64_t end = total_end;
        if (got > 0 && interval_ns > 0 && last_byte + interval_ns < end)
            end = last_byte + interval_ns;
        int64_t now = monotonic_ns();
        if (now >= end)
            break;

        // To the nanosecond: poll()'s whole milliseconds, rounded up, would
        // end each read up to a millisecond late (on average half a
        // millisecond per block of an update). The timer never fires early.
        struct timespec wait;
        wait.tv_sec = (time_t)((end - now) / 1000000000);
        wait.tv_nsec = (long)((end - now) % 1000000000);
        struct pollfd ready;
        ready.fd = fd;
        ready.events = POLLIN;
        ready.revents = 0;
        int polled = ppoll(&ready, 1, &wait, NULL);
        if (polled < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (polled == 0)
            continue;
        if (!(ready.revents & POLLIN)) {
            // Hung up or failed with nothing left to read.
            *gone = (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            break;
        }

        ssize_t n = read(fd, buffer + got, capacity - got);
        if (n > 0) {
            got += (uint32_t)n;
            last_byte = monotonic_ns();
            if (is_whole != NULL && is_whole(buffer, (int32_t)got, context))
                break;
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        // End of file on a terminal is a hang-up; failures keep what came
        // before them.
        *gone = n == 0 || device_vanished(errno);
        break;
    }
    return (int32_t)got;
}

int32_t read_port(PortHandle port, unsigned char *buffer, uint32_t capacity)
{
    if (port == NO_PORT || port->fd < 0 || buffer == NULL || capacity == 0)
        return 0;
    int gone = 0;
    int32_t n = read_until(port, buffer, capacity, NULL, NULL, &gone);
    if (gone)
        port->lost = 1;
    return n;
}

int32_t read_port_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                        ReplyCheck is_whole, void *context, int *gone)
{
    int lost = 0;
    int32_t n = 0;
    if (port == NO_PORT || port->fd < 0)
        lost = 1;
    else if (buffer != NULL && capacity > 0)
        n = read_until(port, buffer, capacity, is_whole, context, &lost);
    if (lost && port != NO_PORT)
        port->lost = 1;
    if (gone != NULL)
        *gone = lost;
    return n;
}

// Writes until every byte is taken, or the bound passes, or the device goes
// away (*gone = 1), or another failure. The descriptor is non-blocking: a
// full output queue is waited out in ppoll.
static int32_t write_all(PortHandle port, const unsigned char *bytes, int32_t count, int *gone)
{
    const int fd = port->fd;
    const int64_t deadline = monotonic_ns() + transfer_bound_ns(port, count);
    int32_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, bytes + done, (size_t)(count - done));
        if (n > 0) {
            done += (int32_t)n;
            continue;
        }
        int error = n < 0 ? errno : EAGAIN;
        if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
            *gone = device_vanished(error);
            break;
        }
        int64_t now = monotonic_ns();
        if (now >= deadline)
            break;
        if (error == EINTR)
            continue;
        struct timespec wait = timespec_of(deadline - now);
        struct pollfd ready;
        ready.fd = fd;
        ready.events = POLLOUT;
        ready.revents = 0;
        int polled = ppoll(&ready, 1, &wait, NULL);
        if (polled < 0 && errno != EINTR)
            break;
        if (polled > 0 && (ready.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            *gone = 1;
            break;
        }
    }
    return done;
}

int32_t write_port(PortHandle port, const unsigned char *bytes, int32_t count)
{
    if (port == NO_PORT || port->fd < 0 || bytes == NULL || count <= 0)
        return 0;
    int gone = 0;
    int32_t n = write_all(port, bytes, count, &gone);
    if (gone)
        port->lost = 1;
    return n;
}

int32_t write_port_checked(PortHandle port, const unsigned char *bytes, int32_t count,
                           int *gone)
{
    int lost = 0;
    int32_t n = 0;
    if (port == NO_PORT || port->fd < 0)
        lost = 1;
    else if (bytes != NULL && count > 0)
        n = write_all(port, bytes, count, &lost);
    if (lost && port != NO_PORT)
        port->lost = 1;
    if (gone != NULL)
        *gone = lost;
    return n;
}

int set_low_latency(PortHandle port)
{
    int fd = port_fd(port);
    struct serial_struct serial;
    if (fd < 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return -1;  // no serial driver behind it (a pseudo-terminal)
    int before = serial.flags;
    if (!(before & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(fd, TIOCSSERIAL, &serial) != 0)
            return -1;
    }
    // Remember what to put back, once: a second call must not save the
    // flags it set itself.
    if (!port->latency_saved) {
        port->latency_saved = 1;
        port->saved_flags = before;
    }
    return 0;
}

void purge_port(PortHandle port)
{
    int fd = port_fd(port);
    if (fd >= 0)
        (void)tcflush(fd, TCIOFLUSH);
}

void flush_port(PortHandle port)
{
    int fd = port_fd(port);
    if (fd < 0)
        return;
    // The output queue is watched empty, a millisecond at a time, for at most
    // the time its bytes take on the line plus 2 s; a vanished device ends
    // the wait. A driver that cannot tell its queue gets one tcdrain.
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
        if (errno == ENOTTY || errno == EINVAL) {
            if (tcdrain(fd) != 0 && device_vanished(errno))
                port->lost = 1;
        } else if (device_vanished(errno)) {
            port->lost = 1;
        }
        return;
    }
    const int64_t deadline = monotonic_ns() + transfer_bound_ns(port, queued > 0 ? queued : 0);
    while (queued > 0 && monotonic_ns() < deadline) {
        struct pollfd line;
        line.fd = fd;
        line.events = 0;  // only hang-ups and errors wake it early
        line.revents = 0;
        struct timespec tick = timespec_of(1000000);
        if (ppoll(&line, 1, &tick, NULL) > 0 && (line.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            port->lost = 1;
            return;
        }
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            if (device_vanished(errno))
                port->lost = 1;
            return;
        }
    }
}

int port_lost(PortHandle port)
{
    return port != NO_PORT && port->lost;
}

const char *port_note(PortHandle port)
{
    return port != NO_PORT && port->note[0] != '\0' ? port->note : NULL;
}

int port_refused(const char *path, uint32_t code)
{
    return path != NULL && (code == ENOTTY || code == EPERM) && busy_detail.not_a_port &&
           strcmp(busy_detail.device, path) == 0;
}

void describe_open_failure(const char *path, uint32_t code, char *text, size_t size)
{
    if (text == NULL || size == 0)
        return;
    if (path == NULL)
        path = "(no port)";
    const char *reason = code != 0 ? strerror((int)code) : "it could not be opened";
    if (code == EACCES) {
        // Serial devices belong to a group (dialout on Debian and Ubuntu,
        // uucp on others); its members may open them.
        struct stat st;
        const char *group = "dialout";
        struct group entry, *found = NULL;
        char names[1024];
        if (stat(path, &st) == 0 &&
            getgrgid_r(st.st_gid, &entry, names, sizeof names, &found) == 0 && found != NULL &&
            found->gr_name != NULL)
            group = found->gr_name;
        snprintf(text, size,
                 "%s: %s; the user must be in the group that owns the device (%s): "
                 "sudo adduser $USER %s, then log in again",
                 path, reason, group, group);
        return;
    }
    if (code == EPERM && port_refused(path, code)) {
        snprintf(text, size,
                 "%s: not a serial adapter but the terminal fwu runs in, or a console",
                 path);
        return;
    }
    if (code == EBUSY) {
        if (busy_detail.holder > 0 && strcmp(busy_detail.device, path) == 0 &&
            busy_detail.lock_path[0] == '\0')
            snprintf(text, size, "%s: in use by process %ld (%s), which has it open", path,
                     busy_detail.holder, busy_detail.command[0] ? busy_detail.command : "?");
        else if (busy_detail.holder > 0 && strcmp(busy_detail.device, path) == 0)
            snprintf(text, size, "%s: in use by process %ld (lock file %s)", path,
                     busy_detail.holder, busy_detail.lock_path);
        else if (busy_detail.lock_path[0] != '\0' && strcmp(busy_detail.device, path) == 0)
            snprintf(text, size, "%s: in use by another program (lock file %s)", path,
                     busy_detail.lock_path);
        else
            snprintf(text, size,
                     "%s: in use by another program (it holds the port exclusively)", path);
        return;
    }
    if (code == ENOENT) {
        snprintf(text, size, "%s: no such device (not plugged in?)", path);
        return;
    }
    if (code == ENOTTY) {
        snprintf(text, size, "%s: not a serial port", path);
        return;
    }
    snprintf(text, size, "%s: %s", path, reason);
}
