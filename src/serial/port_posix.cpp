// The POSIX serial port record, its line settings (termios, 8E1 raw) and
// its close, and the adapter's low-latency flag; the I/O is in
// serial_posix.cpp.
//
// The handle is a record of our own: the descriptor and what the link keeps
// about the port.
#include "serial/serial.h"
#include "serial/posix_internal.h"

#include <errno.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
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

PortHandle new_port(int fd)
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
    return port != NO_PORT ? port->fd : -1;
}

PortHandle port_from_descriptor(int fd)
{
    return fd >= 0 ? new_port(fd) : NO_PORT;
}

// ---------------------------------------------------------------------------
// Configure, close

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

int configure_port_why(PortHandle port, uint32_t baud, uint32_t read_interval_ms, char *why,
                       size_t why_size)
{
    int fd = port_descriptor(port);
    struct termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        snprintf(why, why_size, "Could not get Port State");
        return -1;
    }

    // A speed the terminal interface cannot express is not set half-way.
    speed_t speed;
    if (!speed_for(baud, &speed)) {
        snprintf(why, why_size, "no such line speed: %lu", (unsigned long)baud);
        return -1;
    }

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

int set_low_latency(PortHandle port)
{
    int fd = port_descriptor(port);
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
