#include "serial/serial.h"

#include <stddef.h>
#include <stdio.h>

int configure_port(PortHandle port, uint32_t baud, uint32_t read_interval_ms)
{
    char why[64];
    if (configure_port_why(port, baud, read_interval_ms, why, sizeof why) == 0)
        return 0;
    fprintf(stderr, "%s\n", why);
    return -1;
}

int port_name_ok(const char *name)
{
    if (name == NULL || name[0] == '\0')
        return 0;
    for (int i = 1; i < PORT_NAME_CAPACITY; ++i)
        if (name[i] == '\0')
            return 1;
    return 0;
}

const char *port_refusal_words(PortRefusal refusal)
{
    switch (refusal) {
    case PORT_NOT_A_PORT:
        return "not a serial port";
    case PORT_OWN_TERMINAL:
        return "the terminal fwu runs in";
    case PORT_SYSTEM_CONSOLE:
        return "the system's console";
    case PORT_ALLOWED:
        break;
    }
    return "";
}

// ---------------------------------------------------------------------------
// The line tables

static int32_t serial_read(void *context, unsigned char *buffer, uint32_t capacity)
{
    return read_port((PortHandle)context, buffer, capacity);
}

static int32_t serial_read_until(void *context, unsigned char *buffer, uint32_t capacity,
                                 ReplyCheck is_whole, void *check_context, uint32_t total_ms)
{
    return read_port_until((PortHandle)context, buffer, capacity, is_whole, check_context,
                           total_ms);
}

static int32_t serial_write(void *context, const unsigned char *bytes, int32_t count)
{
    return write_port((PortHandle)context, bytes, count);
}

static void serial_purge(void *context)
{
    purge_port((PortHandle)context);
}

static int32_t serial_discard_input(void *context)
{
    return discard_port_input((PortHandle)context);
}

static void serial_flush(void *context)
{
    flush_port((PortHandle)context);
}

static int serial_lost(void *context)
{
    return port_lost((PortHandle)context);
}

static const TransportOps SERIAL_OPS = {serial_read,  serial_read_until,    serial_write,
                                        serial_purge, serial_discard_input, serial_flush,
                                        serial_lost};

Transport serial_transport(PortHandle port)
{
    Transport line = {&SERIAL_OPS, port};
    return line;
}

static int32_t none_read(void *, unsigned char *, uint32_t)
{
    return 0;
}

static int32_t none_read_until(void *, unsigned char *, uint32_t, ReplyCheck, void *, uint32_t)
{
    return 0;
}

static int32_t none_discard(void *)
{
    return 0;
}

static int32_t none_write(void *, const unsigned char *, int32_t)
{
    return 0;
}

static void none_action(void *)
{
}

static int none_lost(void *)
{
    return 0;
}

static const TransportOps NO_OPS = {none_read,   none_read_until, none_write, none_action,
                                    none_discard, none_action,     none_lost};

Transport no_transport(void)
{
    Transport line = {&NO_OPS, NULL};
    return line;
}
