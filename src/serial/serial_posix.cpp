// The serial link on POSIX systems (Linux first): termios for the line,
// poll() on the monotonic clock for the read timing, flock() and TIOCEXCL
// for exclusive use, sysfs for telling which ports really exist.
//
// The handle carries the file descriptor; INVALID_HANDLE_VALUE carries -1.
#include "serial/serial.h"
#include "serial/posix_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
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
// Handles and names

static int handle_fd(PortHandle port)
{
    intptr_t value = (intptr_t)port;
    if (value < 0 || value > INT_MAX)
        return -1;
    return (int)value;
}

static PortHandle fd_handle(int fd)
{
    return (PortHandle)(intptr_t)fd;
}

// ---------------------------------------------------------------------------
// What the link keeps per open port
//
// termios can time a read only in tenths of a second, so the interval set by
// configure_port is kept here, per descriptor, and read_port times itself.
// The slot also holds the driver's serial flags from before set_low_latency,
// to be put back at close_port. The dialog holds one port at a time, the
// command line several (each from a thread of its own), so the table is
// shared under a lock; a few spare slots leave room for tests and for a
// port that was closed behind our back (open_port drops a stale slot for
// the descriptor it gets). A port not configured reads with the default
// interval.

enum { PORT_SLOTS = 64 };

struct PortSlot {
    int in_use;
    int fd;
    uint32_t interval_ms;  // 0: no limit between bytes, only the total
    int latency_saved;     // saved_flags holds the serial flags to restore
    int saved_flags;
    int lost;              // the system reported the device gone
};

static PortSlot port_slots[PORT_SLOTS];
static pthread_mutex_t slots_lock = PTHREAD_MUTEX_INITIALIZER;

// The descriptor's slot, or NULL. Call with the lock held.
static PortSlot *find_slot(int fd)
{
    for (int i = 0; i < PORT_SLOTS; ++i)
        if (port_slots[i].in_use && port_slots[i].fd == fd)
            return &port_slots[i];
    return NULL;
}

// The descriptor's slot, else a free one now marked in use for it, else
// NULL. Call with the lock held.
static PortSlot *claim_slot(int fd)
{
    PortSlot *slot = find_slot(fd);
    for (int i = 0; slot == NULL && i < PORT_SLOTS; ++i) {
        if (!port_slots[i].in_use) {
            slot = &port_slots[i];
            memset(slot, 0, sizeof *slot);
            slot->in_use = 1;
            slot->fd = fd;
            slot->interval_ms = READ_INTERVAL_MS;
        }
    }
    return slot;
}

// Empties the descriptor's slot; *restore gets the serial flags to put back
// (when set_low_latency changed them). Returns 1 when there are such flags.
static int release_slot(int fd, int *restore)
{
    pthread_mutex_lock(&slots_lock);
    PortSlot *slot = find_slot(fd);
    int saved = 0;
    if (slot != NULL) {
        saved = slot->latency_saved;
        *restore = slot->saved_flags;
        slot->in_use = 0;
    }
    pthread_mutex_unlock(&slots_lock);
    return saved;
}

static uint32_t read_interval_of(int fd)
{
    pthread_mutex_lock(&slots_lock);
    const PortSlot *slot = find_slot(fd);
    uint32_t interval = slot != NULL ? slot->interval_ms : (uint32_t)READ_INTERVAL_MS;
    pthread_mutex_unlock(&slots_lock);
    return interval;
}

// Remembers that the device behind fd has vanished, for port_lost.
static void mark_lost(int fd)
{
    pthread_mutex_lock(&slots_lock);
    PortSlot *slot = claim_slot(fd);
    if (slot != NULL)
        slot->lost = 1;
    pthread_mutex_unlock(&slots_lock);
}

static int64_t monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// ---------------------------------------------------------------------------
// Open, configure, close

// 1 when the character device numbered rdev belongs to the tty subsystem as
// sysfs tells it. Pseudo-terminal slaves (majors 136-143) have no sysfs entry;
// without sysfs at all the check after the open has to do.
static int tty_device_number(dev_t rdev)
{
    unsigned major_number = major(rdev), minor_number = minor(rdev);
    if (major_number >= 136 && major_number <= 143)
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

PortHandle open_port(const char *name)
{
    // Every refusal leaves errno saying why, for the operator's error report.
    if (!port_name_ok(name)) {
        errno = name != NULL && name[0] != '\0' ? ENAMETOOLONG : ENOENT;
        return INVALID_HANDLE_VALUE;
    }

    // Only terminals are ports. Some devices act on being opened at all (a
    // watchdog arms itself), so the kind of device is checked before the
    // open, and the open one must be a terminal too.
    struct stat st;
    if (stat(name, &st) != 0)
        return INVALID_HANDLE_VALUE;
    if (!S_ISCHR(st.st_mode) || !tty_device_number(st.st_rdev)) {
        errno = ENOTTY;
        return INVALID_HANDLE_VALUE;
    }

    // Non-blocking so that the open does not wait for a carrier; never the
    // controlling terminal.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    if (!isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        return INVALID_HANDLE_VALUE;
    }

    // Exclusive use. The lock refuses a second opener on this machine, root
    // included; it is taken before TIOCEXCL so that a port held by someone
    // else is left as it was. TIOCEXCL then refuses other programs that do
    // not lock (it does not stop root). Devices that are not terminals do
    // not know TIOCEXCL.
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        close(fd);
        errno = EBUSY;
        return INVALID_HANDLE_VALUE;
    }
    (void)ioctl(fd, TIOCEXCL);

    // From here on I/O blocks; read_port and write_port do their own
    // waiting with poll().
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    int stale_flags;
    (void)release_slot(fd, &stale_flags);
    return fd_handle(fd);
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
    int fd = handle_fd(port);
    struct termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }

    // A speed the terminal interface cannot express is not set half-way.
    speed_t speed;
    if (!speed_for(baud, &speed))
        return -1;

    // The read timing lives in our own table; no room there means the
    // timeouts cannot be set, and the port is left alone.
    pthread_mutex_lock(&slots_lock);
    PortSlot *slot = claim_slot(fd);
    if (slot != NULL)
        slot->interval_ms = read_interval_ms;
    pthread_mutex_unlock(&slots_lock);
    if (slot == NULL) {
        fputs("Could not read comm timeouts\n", stderr);
        return -1;
    }

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
    int fd = handle_fd(port);
    if (fd < 0)
        return;
    int flags;
    if (release_slot(fd, &flags)) {
        struct serial_struct serial;
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = flags;
            (void)ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    // Exclusive mode belongs to the terminal, not to this descriptor: give
    // it back so that the next opener is not refused. The lock goes with the
    // descriptor.
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
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

// Reads until capacity bytes are in, or the interval passes between two
// bytes, or READ_TOTAL_MS pass in all, or is_whole says the bytes so far make
// a reply, or the device goes away (*gone = 1).
static int32_t read_until(int fd, unsigned char *buffer, uint32_t capacity, ReplyCheck is_whole,
                          void *context, int *gone)
{
    if (capacity > (uint32_t)INT32_MAX)
        capacity = (uint32_t)INT32_MAX;

    const int64_t interval_ns = (int64_t)read_interval_of(fd) * 1000000;
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
    int fd = handle_fd(port);
    if (fd < 0 || buffer == NULL || capacity == 0)
        return 0;
    int gone = 0;
    int32_t n = read_until(fd, buffer, capacity, NULL, NULL, &gone);
    if (gone)
        mark_lost(fd);
    return n;
}

int32_t read_port_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                        ReplyCheck is_whole, void *context, int *gone)
{
    int lost = 0;
    int fd = handle_fd(port);
    int32_t n = 0;
    if (fd < 0)
        lost = 1;
    else if (buffer != NULL && capacity > 0)
        n = read_until(fd, buffer, capacity, is_whole, context, &lost);
    if (lost && fd >= 0)
        mark_lost(fd);
    if (gone != NULL)
        *gone = lost;
    return n;
}

// Writes until every byte is taken, or the device goes away (*gone = 1), or
// another failure.
static int32_t write_all(int fd, const unsigned char *bytes, int32_t count, int *gone)
{
    // No time limit: wait until the driver has taken every byte.
    int32_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, bytes + done, (size_t)(count - done));
        if (n > 0) {
            done += (int32_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd ready;
            ready.fd = fd;
            ready.events = POLLOUT;
            ready.revents = 0;
            int polled = poll(&ready, 1, -1);
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL))) {
                *gone = polled > 0;
                break;
            }
            continue;
        }
        *gone = n < 0 && device_vanished(errno);
        break;
    }
    return done;
}

int32_t write_port(PortHandle port, const unsigned char *bytes, int32_t count)
{
    int fd = handle_fd(port);
    if (fd < 0 || bytes == NULL || count <= 0)
        return 0;
    int gone = 0;
    int32_t n = write_all(fd, bytes, count, &gone);
    if (gone)
        mark_lost(fd);
    return n;
}

int32_t write_port_checked(PortHandle port, const unsigned char *bytes, int32_t count,
                           int *gone)
{
    int lost = 0;
    int fd = handle_fd(port);
    int32_t n = 0;
    if (fd < 0)
        lost = 1;
    else if (bytes != NULL && count > 0)
        n = write_all(fd, bytes, count, &lost);
    if (lost && fd >= 0)
        mark_lost(fd);
    if (gone != NULL)
        *gone = lost;
    return n;
}

int set_low_latency(PortHandle port)
{
    int fd = handle_fd(port);
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
    pthread_mutex_lock(&slots_lock);
    PortSlot *slot = claim_slot(fd);
    if (slot != NULL && !slot->latency_saved) {
        slot->latency_saved = 1;
        slot->saved_flags = before;
    }
    pthread_mutex_unlock(&slots_lock);
    if (slot == NULL) {
        // Nowhere to remember the old setting: put it back now.
        serial.flags = before;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
        return -1;
    }
    return 0;
}

void purge_port(PortHandle port)
{
    int fd = handle_fd(port);
    if (fd >= 0)
        (void)tcflush(fd, TCIOFLUSH);
}

void flush_port(PortHandle port)
{
    int fd = handle_fd(port);
    if (fd < 0)
        return;
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
}

int port_lost(PortHandle port)
{
    int fd = handle_fd(port);
    if (fd < 0)
        return 0;
    pthread_mutex_lock(&slots_lock);
    const PortSlot *slot = find_slot(fd);
    int lost = slot != NULL && slot->lost;
    pthread_mutex_unlock(&slots_lock);
    return lost;
}

const char *port_note(PortHandle)
{
    return NULL;
}

void remove_port_locks(void)
{
}

void describe_open_failure(const char *path, uint32_t code, char *text, size_t size)
{
    const char *reason = code != 0 ? strerror((int)code) : "it could not be opened";
    if (code == EACCES || code == EPERM) {
        // Serial devices belong to a group (dialout on Debian and Ubuntu,
        // uucp on others); its members may open them.
        struct stat st;
        const char *group = "dialout";
        if (stat(path, &st) == 0) {
            const struct group *g = getgrgid(st.st_gid);
            if (g != NULL && g->gr_name != NULL)
                group = g->gr_name;
        }
        snprintf(text, size,
                 "%s: %s; the user must be in the group that owns the device (%s): "
                 "sudo adduser $USER %s, then log in again",
                 path, reason, group, group);
        return;
    }
    if (code == EBUSY) {
        snprintf(text, size, "%s: in use by another program", path);
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

// ---------------------------------------------------------------------------
// Discovery
//
// A port is listed when its device node is a character device and the
// kernel reports it present. Nothing is opened: opening a terminal can raise
// DTR on the adapter. USB and Bluetooth adapters have a node and a sysfs
// entry only while they are plugged in or bound. On-board UART drivers
// register their lines whether or not there is a UART behind them (a PC
// shows ttyS0 to ttyS31), so these count only when the serial core reports
// a known UART type, or, for drivers that do not report one, when the line
// is bound to a driver. Without sysfs, only the plug-in kinds are trusted.
//
// Order: plug-in adapters first (the operator connects one for the update,
// and the first entry is the one preselected), then on-board UARTs; within
// a kind by number, so ttyUSB2 comes before ttyUSB10.

struct PortKind {
    const char *prefix;
    int on_board;
};

static const PortKind PORT_KINDS[] = {
    {"ttyUSB", 0},   // USB serial converters
    {"ttyACM", 0},   // USB CDC-ACM modems and adapters
    {"ttyS", 1},     // 8250/16550 and friends
    {"ttyAMA", 1},   // ARM PL011 (Raspberry Pi and others)
    {"ttymxc", 1},   // i.MX
    {"ttyO", 1},     // OMAP, BeagleBone
    {"ttySAC", 1},   // Samsung
    {"ttyTHS", 1},   // Tegra
    {"rfcomm", 0},   // Bluetooth serial
};

enum {
    PORT_KIND_COUNT = sizeof PORT_KINDS / sizeof PORT_KINDS[0],
    PORT_NUMBER_DIGITS = 6,  // ttyUSB999999 is as far as a name goes
    SYS_PATH_CAPACITY = 1024
};

struct PortKey {
    int kind;
    long number;
};

// The kind and number in a device name such as "ttyUSB10": a known prefix
// followed by a decimal number without sign or leading zeros.
static int parse_port_name(const char *entry, PortKey *key)
{
    for (int k = 0; k < PORT_KIND_COUNT; ++k) {
        size_t len = strlen(PORT_KINDS[k].prefix);
        if (strncmp(entry, PORT_KINDS[k].prefix, len) != 0)
            continue;
        const char *digits = entry + len;
        size_t n = 0;
        while (n <= PORT_NUMBER_DIGITS && digits[n] >= '0' && digits[n] <= '9')
            ++n;
        if (n == 0 || n > PORT_NUMBER_DIGITS || digits[n] != '\0')
            continue;
        if (digits[0] == '0' && n > 1)
            continue;
        long number = 0;
        for (size_t i = 0; i < n; ++i)
            number = number * 10 + (digits[i] - '0');
        key->kind = k;
        key->number = number;
        return 1;
    }
    return 0;
}

static int path_join(char *out, size_t size, const char *a, const char *b, const char *c)
{
    int len = snprintf(out, size, "%s/%s%s", a, b, c);
    return len >= 0 && (size_t)len < size;
}

static int is_char_device(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

static int is_directory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static int exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// The UART type the serial core reports in <tty dir>/type: 1 when it names
// a UART, 0 when it is PORT_UNKNOWN (0), -1 when there is no readable
// number there.
static int uart_type_known(const char *tty_dir)
{
    char path[SYS_PATH_CAPACITY];
    if (!path_join(path, sizeof path, tty_dir, "type", ""))
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[16];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    long type = 0;
    int digits = 0;
    for (const char *p = text; *p >= '0' && *p <= '9' && digits < 9; ++p, ++digits)
        type = type * 10 + (*p - '0');
    if (digits == 0)
        return -1;
    return type != 0;
}

static int port_present(const char *dev_root, const char *tty_class, const char *entry,
                        const PortKind *kind)
{
    char path[SYS_PATH_CAPACITY];
    if (!path_join(path, sizeof path, dev_root, entry, "") || !is_char_device(path))
        return 0;
    if (tty_class == NULL)
        return !kind->on_board;

    char tty_dir[SYS_PATH_CAPACITY];
    if (!path_join(tty_dir, sizeof tty_dir, tty_class, entry, "") || !is_directory(tty_dir))
        return 0;
    if (!kind->on_board)
        return 1;

    int type = uart_type_known(tty_dir);
    if (type >= 0)
        return type;
    return path_join(path, sizeof path, tty_dir, "device/driver", "") && exists(path);
}

static int key_before(const PortKey &a, const PortKey &b)
{
    if (a.kind != b.kind)
        return a.kind < b.kind;
    return a.number < b.number;
}

// Keeps keys sorted, and only the first PORT_TABLE_CAPACITY of them.
static void insert_key(PortKey *keys, int *count, const PortKey &key)
{
    int n = *count;
    if (n == PORT_TABLE_CAPACITY) {
        if (!key_before(key, keys[n - 1]))
            return;
        --n;
    }
    int i = n;
    while (i > 0 && key_before(key, keys[i - 1])) {
        keys[i] = keys[i - 1];
        --i;
    }
    keys[i] = key;
    *count = n + 1;
}

int discover_ports_under(PortTable *table, const char *dev_root, const char *sys_root)
{
    if (table == NULL)
        return 0;
    table->count = 0;
    if (dev_root == NULL || sys_root == NULL)
        return 0;

    char tty_class[SYS_PATH_CAPACITY];
    const char *class_dir = NULL;
    if (path_join(tty_class, sizeof tty_class, sys_root, "class/tty", "") &&
        is_directory(tty_class))
        class_dir = tty_class;

    DIR *dir = opendir(dev_root);
    if (dir == NULL)
        return 0;

    static PortKey keys[PORT_TABLE_CAPACITY];
    int found = 0;
    for (struct dirent *entry = readdir(dir); entry != NULL; entry = readdir(dir)) {
        PortKey key;
        if (!parse_port_name(entry->d_name, &key))
            continue;
        // The name must fit a table entry as open_port will get it.
        char name[PORT_NAME_CAPACITY];
        if (!path_join(name, sizeof name, dev_root, entry->d_name, ""))
            continue;
        if (!port_present(dev_root, class_dir, entry->d_name, &PORT_KINDS[key.kind]))
            continue;
        insert_key(keys, &found, key);
    }
    closedir(dir);

    for (int i = 0; i < found; ++i) {
        char number[16];
        snprintf(number, sizeof number, "%ld", keys[i].number);
        if (!path_join(table->names[table->count], PORT_NAME_CAPACITY, dev_root,
                       PORT_KINDS[keys[i].kind].prefix, number))
            continue;
        ++table->count;
    }
    return table->count;
}

int discover_ports(PortTable *table)
{
    return discover_ports_under(table, "/dev", "/sys");
}
