// Finding and opening COM ports on Windows, and the words for a failed
// open. The I/O on an open port: serial_win32.cpp.
#include "serial/serial.h"
#include "serial/win32_internal.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
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
        return NO_PORT;
    // A failed open returns at once, so GetLastError still says why.
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return NO_PORT;
    PortHandle port = (PortHandle)calloc(1, sizeof(SerialPort));
    if (port == NO_PORT) {
        (void)CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NO_PORT;
    }
    port->handle = handle;
    return port;
}

void remove_port_locks(void)
{
    // Windows keeps no lock files: the port is opened with share mode 0.
}

void describe_open_failure(const char *path, uint32_t code, char *text, size_t size)
{
    if (text == NULL || size == 0)
        return;
    if (path == NULL)
        path = "(no port)";
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        snprintf(text, size, "%s: in use by another program (error %lu)", path,
                 (unsigned long)code);
        return;
    }
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        snprintf(text, size, "%s: no such port (not plugged in?) (error %lu)", path,
                 (unsigned long)code);
        return;
    }
    char description[256] = "";
    if (code != 0) {
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 NULL, code, 0, description, sizeof description, NULL);
        while (n > 0 && (description[n - 1] == '\n' || description[n - 1] == '\r' ||
                         description[n - 1] == ' ' || description[n - 1] == '.'))
            description[--n] = '\0';
    }
    if (description[0] == '\0')
        snprintf(description, sizeof description, "it could not be opened");
    snprintf(text, size, "%s: %s (error %lu)", path, description, (unsigned long)code);
}

// COM names lead to COM ports only: nothing is refused before the open.
PortRefusal port_refusal(const char *)
{
    return PORT_ALLOWED;
}

int open_port_why(const char *name, PortHandle *port, PortOpenFailure *failure)
{
    *port = open_port(name);
    if (*port != NO_PORT)
        return 0;
    DWORD code = GetLastError();
    failure->code = code;
    failure->refusal = PORT_ALLOWED;  // every port name that opens is a COM port
    describe_open_failure(name, code, failure->text, sizeof failure->text);
    SetLastError(code);
    return -1;
}
