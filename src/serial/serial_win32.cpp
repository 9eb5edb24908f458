// The serial link on Windows: the COM ports through the communications
// functions of KERNEL32, all I/O synchronous (no overlapped handles).
#include "serial/serial.h"

#include <stdio.h>
#include <string.h>

enum {
    PORT_NUMBER_LIMIT = 999  // com1 ... com998
};

int discover_ports(PortTable *table)
{
    table->count = 0;
    for (int n = 1; n < PORT_NUMBER_LIMIT && table->count < PORT_TABLE_CAPACITY; ++n) {
        char name[PORT_NAME_CAPACITY];
        int len = snprintf(name, sizeof name, "\\\\.\\com%d", n);
        if (len < 0 || len >= (int)sizeof name)
            continue;
        // A port that exists and that nobody holds opens; anything else is
        // not listed.
        FILE *probe = fopen(name, "r");
        if (probe == NULL)
            continue;
        fclose(probe);
        memcpy(table->names[table->count], name, (size_t)len + 1);
        ++table->count;
    }
    return table->count;
}

PortHandle open_port(const char *name)
{
    if (!port_name_ok(name))
        return INVALID_HANDLE_VALUE;
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

int configure_port(PortHandle port, uint32_t baud, uint32_t read_interval_ms)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }

    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    if (!GetCommTimeouts(port, &timeouts)) {
        fputs("Could not read comm timeouts\n", stderr);
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
    (void)SetCommState(port, &dcb);
    (void)SetCommTimeouts(port, &timeouts);
    (void)SetCommMask(port, 0);
    return 0;
}

int32_t read_port(PortHandle port, unsigned char *buffer, uint32_t capacity)
{
    if (buffer == NULL || capacity == 0)
        return 0;
    if (capacity > 0x7fffffffu)
        capacity = 0x7fffffffu;
    DWORD got = 0;
    if (!ReadFile(port, buffer, (DWORD)capacity, &got, NULL))
        return 0;
    if (got > capacity)
        return 0;
    return (int32_t)got;
}

int32_t write_port(PortHandle port, const unsigned char *bytes, int32_t count)
{
    if (bytes == NULL || count <= 0)
        return 0;
    // Without a write timeout one call takes everything; the loop only
    // guards against a driver that takes less.
    int32_t done = 0;
    while (done < count) {
        DWORD wrote = 0;
        if (!WriteFile(port, bytes + done, (DWORD)(count - done), &wrote, NULL) || wrote == 0)
            break;
        if (wrote > (DWORD)(count - done))
            wrote = (DWORD)(count - done);
        done += (int32_t)wrote;
    }
    return done;
}

void purge_port(PortHandle port)
{
    (void)PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void flush_port(PortHandle port)
{
    (void)FlushFileBuffers(port);
}

void close_port(PortHandle port)
{
    (void)CloseHandle(port);
}
