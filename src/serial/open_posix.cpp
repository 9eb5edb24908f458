// Opening a port on POSIX systems: the device looked at before and after
// the open (only a serial terminal, never this program's own terminal or a
// console), then a lock file, a look for other holders (holders_posix.cpp),
// flock() and TIOCEXCL for exclusive use; and the sentence for a port that
// did not open.
#include "serial/serial.h"
#include "serial/posix_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// What a port may be

// Why an open refused its port, beyond errno, for the sentence of
// open_port_why.
struct BusyDetail {
    char device[PORT_NAME_CAPACITY];
    PortRefusal refusal;  // refused as no serial adapter (ENOTTY, EPERM) by our own checks
    long holder;
    char lock_path[LOCK_PATH_CAPACITY];
    char command[32];  // the holder's name, when it holds the device without a lock file
};

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

// 1 when the terminal numbered rdev is one the system uses as its console
// now (a serial console on ttyS0, say): probe bytes there would go into the
// console.
static int active_console(dev_t rdev)
{
    char names[CONSOLE_NAMES_MAX][CONSOLE_NAME_CAPACITY];
    int count = active_console_names("/sys", names, CONSOLE_NAMES_MAX);
    for (int i = 0; i < count; ++i) {
        char path[CONSOLE_NAME_CAPACITY + 8];
        struct stat st;
        snprintf(path, sizeof path, "/dev/%.*s", CONSOLE_NAME_CAPACITY - 1, names[i]);
        if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev)
            return 1;
    }
    return 0;
}

// Why the terminal numbered rdev cannot be the adapter: it is /dev/tty, the
// controlling terminal or the terminal on standard input, output or error
// (the one the screen is drawn on); /dev/console, a virtual console or the
// system's active console; /dev/ptmx. PORT_ALLOWED for any other.
static PortRefusal terminal_refusal(dev_t rdev)
{
    unsigned major_number = major(rdev), minor_number = minor(rdev);
    if (major_number == 5 && minor_number == 0)
        return PORT_OWN_TERMINAL;
    if (rdev == controlling_terminal())
        return PORT_OWN_TERMINAL;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev)
            return PORT_OWN_TERMINAL;
    }
    if (major_number == 5 && minor_number == 1)
        return PORT_SYSTEM_CONSOLE;
    if (major_number == 4 && minor_number <= 63)
        return PORT_SYSTEM_CONSOLE;
    if (active_console(rdev))
        return PORT_SYSTEM_CONSOLE;
    if (major_number == 5 && minor_number == 2)
        return PORT_NOT_A_PORT;
    return PORT_ALLOWED;
}

// Closes fd (when open) and refuses the open with error.
static PortHandle refuse(int fd, int error)
{
    if (fd >= 0)
        close(fd);
    errno = error;
    return NO_PORT;
}

// Refuses name as no serial adapter, with ENOTTY (not a terminal) or EPERM
// (a terminal that is not the adapter: this program's, a console).
static PortHandle refuse_not_a_port(int fd, const char *name, PortRefusal refusal,
                                    BusyDetail *detail)
{
    snprintf(detail->device, sizeof detail->device, "%s", name);
    detail->refusal = refusal;
    return refuse(fd, refusal == PORT_NOT_A_PORT ? ENOTTY : EPERM);
}

// Whether st is a device that may be the adapter.
static PortRefusal device_refusal(const struct stat *st)
{
    if (!S_ISCHR(st->st_mode) || !tty_device_number(st->st_rdev))
        return PORT_NOT_A_PORT;
    return terminal_refusal(st->st_rdev);
}

PortRefusal port_refusal(const char *name)
{
    struct stat st;
    if (!port_name_ok(name) || stat(name, &st) != 0)
        return PORT_ALLOWED;
    return device_refusal(&st);
}

// ---------------------------------------------------------------------------
// Opening

// open_port, with what a refusal knows beyond errno in *detail.
static PortHandle open_checked(const char *name, BusyDetail *detail)
{
    memset(detail, 0, sizeof *detail);

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
    PortRefusal refusal = device_refusal(&named);
    if (refusal != PORT_ALLOWED)
        return refuse_not_a_port(-1, name, refusal, detail);

    // Non-blocking so that the open does not wait for a carrier, and kept so:
    // reads and writes wait in ppoll. Never made the controlling terminal.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return NO_PORT;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return refuse(fd, errno);
    // The same device as looked at (its kind already judged), and a terminal.
    if (!S_ISCHR(st.st_mode) || st.st_rdev != named.st_rdev || !isatty(fd))
        return refuse_not_a_port(fd, name, PORT_NOT_A_PORT, detail);

    PortHandle port = new_port(fd);
    if (port == NO_PORT)
        return refuse(fd, ENOMEM);

    // The lock file first, so that a port a terminal program holds is left
    // exactly as it is.
    if (take_port_lock(fd, name, &port->lock, port->note, sizeof port->note) == LOCK_HELD) {
        snprintf(detail->device, sizeof detail->device, "%s", name);
        detail->holder = port->lock.holder;
        snprintf(detail->lock_path, sizeof detail->lock_path, "%s", port->lock.path);
        free(port);
        return refuse(fd, EBUSY);
    }

    // A real serial line has one user. A program that opened it earlier and
    // takes no lock (cat, a modem manager) would take replies meant for us.
    // A pseudo-terminal's far end is held by the program that made it (a
    // simulator, a terminal), so there another holder is normal.
    if (!pseudo_terminal(st.st_rdev)) {
        long other = find_other_holder("/proc", st.st_rdev, detail->command,
                                       sizeof detail->command);
        if (other > 0) {
            snprintf(detail->device, sizeof detail->device, "%s", name);
            detail->holder = other;
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

PortHandle open_port(const char *name)
{
    BusyDetail detail;
    return open_checked(name, &detail);
}

// ---------------------------------------------------------------------------
// Why a port did not open

// Why the open of path was refused, with code, as a device that cannot be
// the adapter by our own checks; PORT_ALLOWED for the same error numbers
// coming from the system.
static PortRefusal refused_by_us(const char *path, uint32_t code, const BusyDetail *detail)
{
    if (path == NULL || (code != ENOTTY && code != EPERM) || strcmp(detail->device, path) != 0)
        return PORT_ALLOWED;
    return detail->refusal;
}

static void describe_with(const char *path, uint32_t code, const BusyDetail *detail, char *text,
                          size_t size)
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
    PortRefusal refusal = refused_by_us(path, code, detail);
    if (refusal == PORT_OWN_TERMINAL || refusal == PORT_SYSTEM_CONSOLE) {
        snprintf(text, size, "%s: not a serial adapter but %s", path, port_refusal_words(refusal));
        return;
    }
    if (code == EBUSY) {
        if (detail->holder > 0 && strcmp(detail->device, path) == 0 &&
            detail->lock_path[0] == '\0')
            snprintf(text, size, "%s: in use by process %ld (%s), which has it open", path,
                     detail->holder, detail->command[0] ? detail->command : "?");
        else if (detail->holder > 0 && strcmp(detail->device, path) == 0)
            snprintf(text, size, "%s: in use by process %ld (lock file %s)", path,
                     detail->holder, detail->lock_path);
        else if (detail->lock_path[0] != '\0' && strcmp(detail->device, path) == 0)
            snprintf(text, size, "%s: in use by another program (lock file %s)", path,
                     detail->lock_path);
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

void describe_open_failure(const char *path, uint32_t code, char *text, size_t size)
{
    BusyDetail none;
    memset(&none, 0, sizeof none);
    describe_with(path, code, &none, text, size);
}

int open_port_why(const char *name, PortHandle *port, PortOpenFailure *failure)
{
    BusyDetail detail;
    *port = open_checked(name, &detail);
    if (*port != NO_PORT)
        return 0;
    int code = errno;
    failure->code = (uint32_t)code;
    failure->refusal = refused_by_us(name, (uint32_t)code, &detail);
    describe_with(name, (uint32_t)code, &detail, failure->text, sizeof failure->text);
    errno = code;
    return -1;
}
