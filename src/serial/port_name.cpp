// What a user typed for a port, turned into the name open_port is given.
// Both platforms' rules live here, portable, so that each is checked on any
// build host; port_open_name in the platform file picks one.
#include "serial/port_info.h"
#include "serial/port_info_internal.h"

#include <stdio.h>
#include <string.h>

enum {
    COM_NUMBER_DIGITS = 4  // COM_PORT_NUMBER_MAX has four
};

static char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

int com_port_number(const char *given)
{
    if (given == NULL)
        return -1;
    const char *p = given;
    // The device namespace prefix \\.\ is how names from COM10 up open.
    if (strncmp(p, "\\\\.\\", 4) == 0)
        p += 4;
    if (ascii_lower(p[0]) != 'c' || ascii_lower(p[1]) != 'o' || ascii_lower(p[2]) != 'm')
        return -1;
    p += 3;
    if (*p < '1' || *p > '9')
        return -1;  // no number, or a leading zero
    long number = 0;
    for (int digits = 0; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > COM_NUMBER_DIGITS)
            return -1;
        number = number * 10 + (*p - '0');
    }
    if (*p != '\0' || number > COM_PORT_NUMBER_MAX)
        return -1;
    return (int)number;
}

int com_port_open_name(const char *given, char *out, size_t size)
{
    if (out == NULL || size == 0)
        return -1;
    out[0] = '\0';
    int number = com_port_number(given);
    if (number < 0)
        return -1;
    int len = snprintf(out, size, "\\\\.\\COM%d", number);
    if (len < 0 || (size_t)len >= size) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int posix_port_open_name(const char *given, char *out, size_t size)
{
    if (out == NULL || size == 0)
        return -1;
    out[0] = '\0';
    if (!port_name_ok(given))
        return -1;
    // A bare name is a device under /dev; "." and ".." would name /dev and /.
    const char *prefix = "";
    if (strchr(given, '/') == NULL) {
        if (strcmp(given, ".") == 0 || strcmp(given, "..") == 0)
            return -1;
        prefix = "/dev/";
    }
    int len = snprintf(out, size, "%s%s", prefix, given);
    if (len < 0 || (size_t)len >= size || !port_name_ok(out)) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}
