// The serial link on Windows: configuring a COM port through the
// communications functions of KERNEL32, and its I/O, all synchronous (no
// overlapped handles). Finding and opening the ports: open_win32.cpp.
#include "serial/serial.h"
#include "serial/monotonic.h"
#include "serial/win32_internal.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int configure_port_why(PortHandle port, uint32_t baud, uint32_t read_interval_ms, char *why,
                       size_t why_size)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (port == NO_PORT || !GetCommState(port->handle, &dcb)) {
        snprintf(why, why_size, "Could not get Port State");
        return -1;
    }

    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    if (!GetCommTimeouts(port->handle, &timeouts)) {
        snprintf(why, why_size, "Could not read comm timeouts");
        return -1;
    }

    // 8E1, binary; parity is generated and checked by the UART but errors
    // are not reported. No flow control of any kind, DTR and RTS held
    // inactive. Everything else (XON/XOFF limits, special characters) stays
    // as the driver reported it.
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;

    // A read ends after read_interval_ms of silence between two bytes or
    // READ_TOTAL_MS in all; writes wait until the driver has taken
    // everything.
    timeouts.ReadIntervalTimeout = read_interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;

    // The update goes ahead on whatever the driver accepted.
    (void)SetCommState(port->handle, &dcb);
    (void)SetCommTimeouts(port->handle, &timeouts);
    (void)SetCommMask(port->handle, 0);
    port->timeouts = timeouts;
    port->configured = 1;
    return 0;
}

static int device_vanished(DWORD error);

int32_t read_port(PortHandle port, unsigned char *buffer, uint32_t capacity)
{
    if (port == NO_PORT || buffer == NULL || capacity == 0)
        return 0;
    if (capacity > 0x7fffffffu)
        capacity = 0x7fffffffu;
    DWORD got = 0;
    if (!ReadFile(port->handle, buffer, (DWORD)capacity, &got, NULL)) {
        if (device_vanished(GetLastError()))
            port->lost = 1;
        return 0;
    }
    if (got > capacity)
        return 0;
    return (int32_t)got;
}

int32_t write_port(PortHandle port, const unsigned char *bytes, int32_t count)
{
    if (port == NO_PORT || bytes == NULL || count <= 0)
        return 0;
    // Without a write timeout one call takes everything; the loop only
    // guards against a driver that takes less.
    int32_t done = 0;
    while (done < count) {
        DWORD wrote = 0;
        if (!WriteFile(port->handle, bytes + done, (DWORD)(count - done), &wrote, NULL)) {
            if (device_vanished(GetLastError()))
                port->lost = 1;
            break;
        }
        if (wrote == 0)
            break;
        if (wrote > (DWORD)(count - done))
            wrote = (DWORD)(count - done);
        done += (int32_t)wrote;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Reads that end once a reply is in, and telling a vanished device

// The errors by which ReadFile and WriteFile say the device itself is gone
// (an unplugged USB adapter, a removed driver), not just that nothing came.
static int device_vanished(DWORD error)
{
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_INVALID_HANDLE:
    case ERROR_GEN_FAILURE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
        return 1;
    default:
        return 0;
    }
}

// Whether the device behind an open port has gone. A read only times out
// on some such ports: Wine's, for one, reads nothing from a pseudo-terminal
// whose far end has closed, and says so only when asked for the line's
// status (ERROR_NOT_READY) or written to.
static int port_gone_now(HANDLE handle)
{
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(handle, &errors, &status))
        return 0;
    return device_vanished(GetLastError());
}

// The longest single wait of read_port_until. Windows returns from such a
// read the moment a byte is there; Wine waits the whole time, so the reply's
// arrival is seen within this.
enum { READ_POLL_MS = 2 };

int32_t read_port_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                        ReplyCheck is_whole, void *context, uint32_t total_ms)
{
    int lost = 0;
    uint32_t got = 0;
    COMMTIMEOUTS configured;
    memset(&configured, 0, sizeof configured);
    if (port == NO_PORT) {
        lost = 1;
        capacity = 0;
    } else if (port->configured) {
        configured = port->timeouts;  // no need to ask the driver each read
    } else if (!GetCommTimeouts(port->handle, &configured)) {
        lost = device_vanished(GetLastError());
        capacity = 0;
    }
    if (buffer == NULL)
        capacity = 0;
    if (capacity > 0x7fffffffu)
        capacity = 0x7fffffffu;

    // The configured interval between bytes and total_ms in all, as for
    // read_port, but timed here: each ReadFile returns as soon as any byte
    // is there (interval and multiplier MAXDWORD), or after the constant
    // when none comes, so a whole reply is seen the moment it is in.
    const double interval = capacity > 0 ? (double)configured.ReadIntervalTimeout : 0;
    if (total_ms > READ_TOTAL_MS)
        total_ms = READ_TOTAL_MS;
    const double total_end = monotonic_ms() + total_ms;
    double last_byte = 0;
    DWORD wait_set = 0;  // the constant set last; 0: none yet
    while (got < capacity) {
        double end = total_end;
        if (got > 0 && interval > 0 && last_byte + interval < end)
            end = last_byte + interval;
        double now = monotonic_ms();
        if (now >= end)
            break;
        DWORD wait = (DWORD)(end - now);
        if (wait > READ_POLL_MS)
            wait = READ_POLL_MS;
        if (wait == 0)
            wait = 1;
        if (wait != wait_set) {  // the same slice as last time needs no new call
            COMMTIMEOUTS quick;
            memset(&quick, 0, sizeof quick);
            quick.ReadIntervalTimeout = MAXDWORD;
            quick.ReadTotalTimeoutMultiplier = MAXDWORD;
            quick.ReadTotalTimeoutConstant = wait;
            if (!SetCommTimeouts(port->handle, &quick)) {
                lost = device_vanished(GetLastError());
                break;
            }
            wait_set = wait;
        }
        DWORD n = 0;
        if (!ReadFile(port->handle, buffer + got, (DWORD)(capacity - got), &n, NULL)) {
            lost = device_vanished(GetLastError());
            break;
        }
        if (n > capacity - got)
            break;
        if (n == 0 && port_gone_now(port->handle)) {
            lost = 1;
            break;
        }
        if (n > 0) {
            got += n;
            last_byte = monotonic_ms();
            if (is_whole != NULL && is_whole(buffer, (int32_t)got, context))
                break;
        }
    }
    if (capacity > 0 && !lost)
        (void)SetCommTimeouts(port->handle, &configured);
    if (lost && port != NO_PORT)
        port->lost = 1;
    return (int32_t)got;
}

int set_low_latency(PortHandle)
{
    // A USB adapter's latency timer is a setting of its driver on Windows
    // (Device Manager, the port's advanced properties); the reads above
    // already return as soon as the driver passes bytes on.
    return -1;
}

int32_t discard_port_input(PortHandle port)
{
    int32_t discarded = 0;
    unsigned char sink[512];
    // What the driver holds, read with the configured timeouts: a read of no
    // more than is there returns at once.
    while (port != NO_PORT && discarded < DISCARD_LIMIT) {
        DWORD errors = 0;
        COMSTAT status;
        if (!ClearCommError(port->handle, &errors, &status)) {
            if (device_vanished(GetLastError()))
                port->lost = 1;
            break;
        }
        DWORD want = status.cbInQue < sizeof sink ? status.cbInQue : (DWORD)sizeof sink;
        DWORD got = 0;
        if (want == 0)
            break;
        if (!ReadFile(port->handle, sink, want, &got, NULL)) {
            if (device_vanished(GetLastError()))
                port->lost = 1;
            break;
        }
        if (got == 0 || got > want)
            break;
        discarded += (int32_t)got;
    }
    return discarded;
}

void purge_port(PortHandle port)
{
    if (port != NO_PORT)
        (void)PurgeComm(port->handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void flush_port(PortHandle port)
{
    if (port != NO_PORT)
        (void)FlushFileBuffers(port->handle);
}

void close_port(PortHandle port)
{
    if (port == NO_PORT)
        return;
    (void)CloseHandle(port->handle);
    free(port);
}

int port_lost(PortHandle port)
{
    return port != NO_PORT && port->lost;
}

const char *port_note(PortHandle)
{
    return NULL;
}
