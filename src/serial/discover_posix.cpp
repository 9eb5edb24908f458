// Port discovery on POSIX systems (Linux first): the serial devices under
// /dev that sysfs reports present, found without opening any of them.
#include "serial/serial.h"
#include "serial/posix_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

int active_console_names(const char *sys_root, char names[][CONSOLE_NAME_CAPACITY], int capacity)
{
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/class/tty/console/active", sys_root) >= (int)sizeof path)
        return 0;
    FILE *f = fopen(path, "re");
    if (f == NULL)
        return 0;
    char text[256];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    int count = 0;
    char *rest = NULL;
    for (char *word = strtok_r(text, " \t\n", &rest); word != NULL && count < capacity;
         word = strtok_r(NULL, " \t\n", &rest)) {
        // Only plain device names: nothing that could walk out of /dev.
        size_t len = strlen(word);
        if (len == 0 || len >= CONSOLE_NAME_CAPACITY || strchr(word, '/') != NULL ||
            word[0] == '.')
            continue;
        memcpy(names[count++], word, len + 1);
    }
    return count;
}
