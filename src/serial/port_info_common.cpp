// The parts of port identity both platforms share: making untrusted text
// printable, finding an adapter by its serial number, and reading Windows
// device ids (plain text, so handled and checked on any host).
#include "serial/port_info.h"
#include "serial/port_info_internal.h"
#include "serial/text_chars.h"

#include <stdlib.h>
#include <string.h>

static int is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int clean_text(char *out, size_t size, const char *in, size_t len)
{
    if (out == NULL || size == 0)
        return 0;
    out[0] = '\0';
    if (in == NULL)
        return len == 0;
    const unsigned char *p = (const unsigned char *)in;
    while (len > 0 && is_blank(p[0]))
        ++p, --len;
    while (len > 0 && is_blank(p[len - 1]))
        --len;

    int intact = 1;
    size_t o = 0;
    while (len > 0) {
        unsigned long code = 0;
        size_t n = utf8_sequence(p, len, &code);
        const unsigned char *from = p;
        size_t take = n;
        if (n == 0 || code < 0x20 || code == 0x7f || (code >= 0x80 && code <= 0x9f)) {
            // Controls would act on the terminal the text is shown on.
            from = (const unsigned char *)"?";
            take = 1;
            intact = 0;
            if (n == 0)
                n = 1;
        }
        if (o + take >= size) {
            intact = 0;
            break;
        }
        memcpy(out + o, from, take);
        o += take;
        p += n;
        len -= n;
    }
    out[o] = '\0';
    return intact;
}

void set_port_serial(PortInfo *info, const char *in, size_t len)
{
    if (!clean_text(info->serial, sizeof info->serial, in, len))
        info->serial[0] = '\0';
}

static int same_serial(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? (char)(*a - 'a' + 'A') : *a;
        char y = *b >= 'a' && *b <= 'z' ? (char)(*b - 'a' + 'A') : *b;
        if (x != y)
            return 0;
        if (x == '\0')
            return 1;
    }
}

SerialMatch match_port_serial(const PortInfo *ports, int count, const char *serial, char *path,
                              size_t size)
{
    if (path != NULL && size > 0)
        path[0] = '\0';
    if (ports == NULL || serial == NULL || serial[0] == '\0')
        return SERIAL_NONE;
    int matches = 0;
    const PortInfo *match = NULL;
    for (int i = 0; i < count; ++i) {
        if (ports[i].serial[0] == '\0' || !same_serial(ports[i].serial, serial))
            continue;
        if (++matches == 1)
            match = &ports[i];
    }
    if (matches > 1)
        return SERIAL_SEVERAL;
    if (match == NULL || path == NULL || strlen(match->path) >= size)
        return SERIAL_NONE;
    memcpy(path, match->path, strlen(match->path) + 1);
    return SERIAL_FOUND;
}

SerialMatch find_port_by_serial(const char *serial, char *path, size_t size)
{
    if (path != NULL && size > 0)
        path[0] = '\0';
    if (serial == NULL || serial[0] == '\0')
        return SERIAL_NONE;
    PortInfo *ports = (PortInfo *)calloc(PORT_TABLE_CAPACITY, sizeof *ports);
    if (ports == NULL)
        return SERIAL_NONE;
    int count = list_ports(ports, PORT_TABLE_CAPACITY);
    SerialMatch result = match_port_serial(ports, count, serial, path, size);
    free(ports);
    return result;
}

// ---------------------------------------------------------------------------
// Windows device ids

static int starts_with_nocase(const char *text, const char *prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        char c = *text >= 'a' && *text <= 'z' ? (char)(*text - 'a' + 'A') : *text;
        if (c != *prefix)
            return 0;
    }
    return 1;
}

// The value of "<key>" and hex digits in id: after the start or a
// separator, exactly width hex digits, then the end or a separator. -1 when
// there is none.
static long id_field(const char *id, const char *key, int width)
{
    size_t key_len = strlen(key);
    for (const char *p = id; *p != '\0'; ++p) {
        if (p != id && p[-1] != '\\' && p[-1] != '&' && p[-1] != '+')
            continue;
        if (!starts_with_nocase(p, key))
            continue;
        const char *digits = p + key_len;
        long value = 0;
        int n = 0;
        while (n < width && hex_digit(digits[n]) >= 0)
            value = value * 16 + hex_digit(digits[n++]);
        char end = digits[n];
        if (n == width && (end == '\0' || end == '\\' || end == '&' || end == '+'))
            return value;
    }
    return -1;
}

int parse_usb_ids(const char *id, unsigned *vid, unsigned *pid)
{
    if (id == NULL)
        return -1;
    long v = id_field(id, "VID_", 4), p = id_field(id, "PID_", 4);
    if (v < 0 || p < 0)
        return -1;
    *vid = (unsigned)v;
    *pid = (unsigned)p;
    return 0;
}

int usb_device_serial(const char *instance_id, char *out, size_t size)
{
    if (out == NULL || size == 0)
        return -1;
    out[0] = '\0';
    unsigned vid, pid;
    if (instance_id == NULL || !starts_with_nocase(instance_id, "USB\\") ||
        parse_usb_ids(instance_id, &vid, &pid) != 0 || id_field(instance_id, "MI_", 2) >= 0)
        return -1;
    const char *last = strrchr(instance_id, '\\');
    // USB\ then the ids then \ then the serial: the last backslash is not
    // the first one.
    if (last == NULL || last == instance_id + 3)
        return -1;
    ++last;
    if (strchr(last, '&') == NULL && !clean_text(out, size, last, strlen(last)))
        out[0] = '\0';
    return 0;
}
