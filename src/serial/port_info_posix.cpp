// Port identity on Linux, from sysfs and udev's /dev/serial/by-id links.
// Nothing is opened but sysfs attribute files and directories: a port's
// identity is read from /sys/class/tty/<name>/device, whose driver link
// names the driver and whose nearest ancestor with idVendor is the USB
// device behind the port (the adapter for ttyUSB, the modem for ttyACM).
// Everything read is untrusted: bounded, checked, made printable.
#include "serial/port_info.h"
#include "serial/port_info_internal.h"
#include "serial/port_info_posix.h"
#include "serial/posix_internal.h"
#include "serial/text_chars.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    ATTRIBUTE_CAPACITY = 2 * PORT_INFO_TEXT_CAPACITY,  // more than any field takes
    USB_WALK_LIMIT = 16  // directories above the port's device to look in
};

static int join(char *out, size_t size, const char *a, const char *b)
{
    int len = snprintf(out, size, "%s/%s", a, b);
    return len >= 0 && (size_t)len < size;
}

// Reads up to size - 1 bytes of the regular file dir/name into text.
// Returns the length, -1 when it is missing or not a regular file (a FIFO
// or device put there would block or act on being read).
static ssize_t read_attribute(const char *dir, const char *name, char *text, size_t size)
{
    char path[PATH_MAX];
    if (!join(path, sizeof path, dir, name))
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    ssize_t got = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        got = 0;
        while ((size_t)got < size - 1) {
            ssize_t n = read(fd, text + got, size - 1 - (size_t)got);
            if (n <= 0)
                break;
            got += n;
        }
    }
    close(fd);
    if (got >= 0)
        text[got] = '\0';
    return got;
}

static void read_attribute_text(const char *dir, const char *name, char *field, size_t size)
{
    char text[ATTRIBUTE_CAPACITY];
    ssize_t n = read_attribute(dir, name, text, sizeof text);
    if (n >= 0)
        clean_text(field, size, text, (size_t)n);
}

// A USB id as the kernel writes it: four hex digits and a newline.
static int read_usb_id(const char *dir, const char *name, unsigned *id)
{
    char text[16], clean[16];
    ssize_t n = read_attribute(dir, name, text, sizeof text);
    if (n < 0 || !clean_text(clean, sizeof clean, text, (size_t)n) || strlen(clean) != 4)
        return -1;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_digit(clean[i]);
        if (digit < 0)
            return -1;
        value = value * 16 + (unsigned)digit;
    }
    *id = value;
    return 0;
}

// From the port's device directory up, inside sysfs, to the first
// directory with idVendor: the USB device. Its ids and strings go into info.
static void read_usb_device(PortInfo *info, const char *sys_real, const char *device_real)
{
    size_t sys_len = strlen(sys_real);
    if (strncmp(device_real, sys_real, sys_len) != 0 || device_real[sys_len] != '/')
        return;  // the link leads out of sysfs
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", device_real);
    for (int level = 0; level < USB_WALK_LIMIT && strlen(dir) > sys_len; ++level) {
        char probe[1];
        if (read_attribute(dir, "idVendor", probe, sizeof probe) >= 0) {
            // The nearest device with ids is the one; with ids that make
            // no sense, there is none to tell (not the hub above it).
            unsigned vid, pid;
            if (read_usb_id(dir, "idVendor", &vid) != 0 || read_usb_id(dir, "idProduct", &pid) != 0)
                return;
            info->usb = 1;
            info->vid = vid;
            info->pid = pid;
            char text[ATTRIBUTE_CAPACITY];
            ssize_t n = read_attribute(dir, "serial", text, sizeof text);
            if (n >= 0)
                set_port_serial(info, text, (size_t)n);
            read_attribute_text(dir, "manufacturer", info->manufacturer, sizeof info->manufacturer);
            read_attribute_text(dir, "product", info->product, sizeof info->product);
            return;
        }
        char *slash = strrchr(dir, '/');
        if (slash == NULL)
            return;
        *slash = '\0';
    }
}

static void read_sysfs(PortInfo *info, const char *sys_root, const char *name)
{
    char device[PATH_MAX], link[PATH_MAX];
    if (snprintf(device, sizeof device, "%s/class/tty/%s/device", sys_root, name) >=
        (int)sizeof device)
        return;

    // The driver bound to the port's device: the last part of its link.
    if (join(link, sizeof link, device, "driver")) {
        char target[PATH_MAX];
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            const char *base = strrchr(target, '/');
            base = base != NULL ? base + 1 : target;
            clean_text(info->driver, sizeof info->driver, base, strlen(base));
        }
    }

    char sys_real[PATH_MAX], device_real[PATH_MAX];
    if (realpath(sys_root, sys_real) == NULL || realpath(device, device_real) == NULL)
        return;
    read_usb_device(info, sys_real, device_real);
}

// path with its directory resolved and its last part as it is: device nodes
// are compared by where they are, not by what a link there points at.
static int node_location(const char *path, char *out, size_t size)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL || slash[1] == '\0' || strcmp(slash + 1, ".") == 0 ||
        strcmp(slash + 1, "..") == 0)
        return -1;
    char dir[PATH_MAX], real[PATH_MAX];
    size_t dir_len = (size_t)(slash - path);
    if (dir_len >= sizeof dir)
        return -1;
    memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
    if (realpath(dir_len > 0 ? dir : "/", real) == NULL)
        return -1;
    int len = snprintf(out, size, "%s/%s", strcmp(real, "/") == 0 ? "" : real, slash + 1);
    return len >= 0 && (size_t)len < size ? 0 : -1;
}

// The by-id link that leads to info->path; of several, the first by name.
static void find_stable_link(PortInfo *info, const char *dev_root)
{
    char by_id[PATH_MAX], node[PATH_MAX];
    if (snprintf(by_id, sizeof by_id, "%s/serial/by-id", dev_root) >= (int)sizeof by_id ||
        node_location(info->path, node, sizeof node) != 0)
        return;
    DIR *dir = opendir(by_id);
    if (dir == NULL)
        return;
    for (struct dirent *entry = readdir(dir); entry != NULL; entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char link[PATH_MAX], target[PATH_MAX], resolved[PATH_MAX], location[PATH_MAX];
        struct stat st;
        if (!join(link, sizeof link, by_id, entry->d_name) || lstat(link, &st) != 0 ||
            !S_ISLNK(st.st_mode))
            continue;
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (target[0] == '/')
            snprintf(resolved, sizeof resolved, "%s", target);
        else if (!join(resolved, sizeof resolved, by_id, target))
            continue;
        if (node_location(resolved, location, sizeof location) != 0 || strcmp(location, node) != 0)
            continue;
        // A name that is not plain printable text, or does not fit, is no
        // name to give a user.
        char clean[PORT_NAME_CAPACITY];
        if (!clean_text(clean, sizeof clean, link, strlen(link)) || strcmp(clean, link) != 0)
            continue;
        if (info->stable[0] == '\0' || strcmp(link, info->stable) < 0)
            memcpy(info->stable, link, strlen(link) + 1);
    }
    closedir(dir);
}

int list_ports_under(PortInfo *out, int capacity, const char *dev_root, const char *sys_root)
{
    if (out == NULL || capacity <= 0 || dev_root == NULL || sys_root == NULL)
        return 0;
    PortTable *table = (PortTable *)malloc(sizeof *table);
    if (table == NULL)
        return 0;
    int found = discover_ports_under(table, dev_root, sys_root);
    char console_names[CONSOLE_NAMES_MAX][CONSOLE_NAME_CAPACITY];
    int consoles = active_console_names(sys_root, console_names, CONSOLE_NAMES_MAX);
    int count = 0;
    for (int i = 0; i < found && count < capacity; ++i) {
        PortInfo *info = &out[count];
        memset(info, 0, sizeof *info);
        const char *path = table->names[i];
        if (strlen(path) >= sizeof info->path)
            continue;
        memcpy(info->path, path, strlen(path) + 1);
        const char *name = strrchr(path, '/');
        name = name != NULL ? name + 1 : path;
        read_sysfs(info, sys_root, name);
        find_stable_link(info, dev_root);
        for (int c = 0; c < consoles; ++c)
            if (strcmp(console_names[c], name) == 0)
                info->console = 1;
        ++count;
    }
    free(table);
    return count;
}

int list_ports(PortInfo *out, int capacity)
{
    return list_ports_under(out, capacity, "/dev", "/sys");
}

int port_open_name(const char *given, char *out, size_t size)
{
    return posix_port_open_name(given, out, size);
}

int same_port(const char *a, const char *b)
{
    if (a == NULL || b == NULL || a[0] == '\0' || b[0] == '\0')
        return 0;
    if (strcmp(a, b) == 0)
        return 1;
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode) &&
           sa.st_rdev == sb.st_rdev;
}

int port_info_index(const PortInfo *ports, int count, const char *path)
{
    for (int i = 0; ports != NULL && i < count; ++i)
        if (same_port(ports[i].path, path))
            return i;
    return -1;
}
