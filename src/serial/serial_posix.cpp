// The serial link on POSIX systems (Linux first): reads and writes, timed by
// ppoll() on the monotonic clock; purge, flush, and what the port noted.
// (The port record, its line settings and its close: port_posix.cpp;
// opening a port and the checks before it: open_posix.cpp; lock files:
// lock_posix.cpp; discovery: discover_posix.cpp.)
//
// The handle is a record of our own: the descriptor and what the link keeps
// about the port.
#include "serial/serial.h"
#include "serial/monotonic.h"
#include "serial/posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

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

// Waits up to wait_ns for events on fd (with none, only for a hang-up or an
// error), to the nanosecond: poll()'s whole milliseconds, rounded up, would
// end each read up to a millisecond late (on average half a millisecond per
// block of an update). The timer never fires early. Returns what ppoll does
// (-1 with errno, 0 when the time ran out), and in *revents what happened
// (0 when nothing did).
static int wait_for(int fd, short events, int64_t wait_ns, short *revents)
{
    struct timespec wait;
    wait.tv_sec = (time_t)(wait_ns / 1000000000);
    wait.tv_nsec = (long)(wait_ns % 1000000000);
    struct pollfd ready;
    ready.fd = fd;
    ready.events = events;
    ready.revents = 0;
    int polled = ppoll(&ready, 1, &wait, NULL);
    *revents = polled > 0 ? ready.revents : 0;
    return polled;
}

// Reads until capacity bytes are in, or the interval passes between two
// bytes, or total_ms pass in all, or is_whole says the bytes so far make a
// reply, or the device goes away (noted on the port).
static int32_t read_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                          ReplyCheck is_whole, void *context, uint32_t total_ms)
{
    const int fd = port->fd;
    if (capacity > (uint32_t)INT32_MAX)
        capacity = (uint32_t)INT32_MAX;

    const int64_t interval_ns = (int64_t)port->interval_ms * 1000000;
    const int64_t total_end = monotonic_ns() + (int64_t)total_ms * 1000000;
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

        short revents = 0;
        int polled = wait_for(fd, POLLIN, end - now, &revents);
        if (polled < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (polled == 0)
            continue;
        if (!(revents & POLLIN)) {
            // Hung up or failed with nothing left to read.
            if (revents & (POLLHUP | POLLERR | POLLNVAL))
                port->lost = 1;
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
        if (n == 0 || device_vanished(errno))
            port->lost = 1;
        break;
    }
    return (int32_t)got;
}

int32_t read_port(PortHandle port, unsigned char *buffer, uint32_t capacity)
{
    return read_port_until(port, buffer, capacity, NULL, NULL, READ_TOTAL_MS);
}

int32_t read_port_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                        ReplyCheck is_whole, void *context, uint32_t total_ms)
{
    if (port == NO_PORT || port->fd < 0 || buffer == NULL || capacity == 0)
        return 0;
    if (total_ms > READ_TOTAL_MS)
        total_ms = READ_TOTAL_MS;
    return read_until(port, buffer, capacity, is_whole, context, total_ms);
}

int32_t discard_port_input(PortHandle port)
{
    int fd = port_descriptor(port);
    int32_t discarded = 0;
    unsigned char sink[512];
    // With VMIN and VTIME 0 (and the descriptor non-blocking) a read returns
    // what waits and never waits for more: 0 or EAGAIN once nothing is left.
    // A hang-up is left for the next read, which tells it by poll.
    while (fd >= 0 && discarded < DISCARD_LIMIT) {
        ssize_t n = read(fd, sink, sizeof sink);
        if (n > 0) {
            discarded += (int32_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && device_vanished(errno))
            port->lost = 1;
        break;
    }
    return discarded;
}

// Writes until every byte is taken, or the bound passes, or the device goes
// away (noted on the port), or another failure. The descriptor is non-blocking: a
// full output queue is waited out in ppoll.
static int32_t write_all(PortHandle port, const unsigned char *bytes, int32_t count)
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
            if (device_vanished(error))
                port->lost = 1;
            break;
        }
        int64_t now = monotonic_ns();
        if (now >= deadline)
            break;
        if (error == EINTR)
            continue;
        short revents = 0;
        if (wait_for(fd, POLLOUT, deadline - now, &revents) < 0 && errno != EINTR)
            break;
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            port->lost = 1;
            break;
        }
    }
    return done;
}

int32_t write_port(PortHandle port, const unsigned char *bytes, int32_t count)
{
    if (port == NO_PORT || port->fd < 0 || bytes == NULL || count <= 0)
        return 0;
    return write_all(port, bytes, count);
}

void purge_port(PortHandle port)
{
    int fd = port_descriptor(port);
    if (fd >= 0)
        (void)tcflush(fd, TCIOFLUSH);
}

void flush_port(PortHandle port)
{
    int fd = port_descriptor(port);
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
        short revents = 0;  // only hang-ups and errors wake it early
        wait_for(fd, 0, 1000000, &revents);
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
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
