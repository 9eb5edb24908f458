// What the Windows serial link's files share: the record of an open port.
// Nothing but those files includes it.
#ifndef FWU_SERIAL_WIN32_INTERNAL_H
#define FWU_SERIAL_WIN32_INTERNAL_H

#include <windows.h>

// What the link keeps per open port: the handle, and whether a read or write
// has seen the device vanish.
struct SerialPort {
    HANDLE handle;
    int lost;
    int configured;           // timeouts holds what configure_port set
    COMMTIMEOUTS timeouts;
};

#endif
