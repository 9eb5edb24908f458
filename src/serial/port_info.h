// What identifies each serial port, found without opening any of them: the
// list behind `fwu list`, the lookup behind `usb:SERIAL`, and the rule that
// turns what a user typed into the name open_port is given.
//
// Its own library (fwu_port_info): on Windows it needs SETUPAPI, which the
// GUI tool does not import. One implementation file per platform
// (port_info_win32.cpp, port_info_posix.cpp); the name rules and the text
// handling are portable (port_name.cpp, port_info_common.cpp).
// Conventions: those of the serial layer (serial.h).
#ifndef FWU_SERIAL_PORT_INFO_H
#define FWU_SERIAL_PORT_INFO_H

#include <stddef.h>

#include "serial/serial.h"

enum {
    // A USB string descriptor holds at most 126 UTF-16 units, at most 378
    // bytes of UTF-8: every real one fits whole.
    PORT_INFO_TEXT_CAPACITY = 384,
    PORT_INFO_DRIVER_CAPACITY = 64,
    // The highest COM number Windows' port database hands out.
    COM_PORT_NUMBER_MAX = 4096
};

// One port. Every text is NUL-terminated, empty when the system does not
// tell it, and printable: control characters and malformed UTF-8 are
// replaced by '?', leading and trailing blanks dropped, anything longer than
// its field cut at a character boundary.
struct PortInfo {
    char path[PORT_NAME_CAPACITY];    // the name to open: /dev/ttyUSB0, \\.\COM7
    char stable[PORT_NAME_CAPACITY];  // Linux: the /dev/serial/by-id/ link to
                                      // the node, "" if none; Windows: ""
    int usb;                          // 1 when a USB device is behind the port
    int console;                      // 1 when the system uses it as its console
                                      // (Linux): it is refused as a port
    unsigned vid, pid;                // its vendor and product ids (0 when not USB)
    // The USB serial number. Empty when the device has none, when Windows
    // made one up, or when it is not plain text that fits whole: a serial
    // that had to be altered is never matched against.
    char serial[PORT_INFO_TEXT_CAPACITY];
    char manufacturer[PORT_INFO_TEXT_CAPACITY];  // Linux: the device's own
                                                 // string; Windows: the driver's
    char product[PORT_INFO_TEXT_CAPACITY];       // Linux: the device's own
                                                 // string; Windows: the description
    char friendly_name[PORT_INFO_TEXT_CAPACITY]; // Windows: "USB Serial Port (COM7)"
    char driver[PORT_INFO_DRIVER_CAPACITY];      // ftdi_sio, cdc_acm; usbser, FTSER2K
};

// Fills out with the ports discover_ports finds, in its order, at most
// capacity of them, with what the system tells about each. On Windows also
// the COM ports the device manager knows but that discovery could not open
// (held by another program), in COM number order with the rest. Opens no
// port (Windows discovery itself probes each COM name). Returns the count.
int list_ports(PortInfo *out, int capacity);

enum SerialMatch {
    SERIAL_FOUND = 0,  // exactly one port has it: its path written
    SERIAL_NONE,       // none has it (or serial is empty, or path does not fit size)
    SERIAL_SEVERAL     // several have it (a dual-port adapter, or two adapters with
                       // the same serial): path ""
};

// The port of the USB adapter whose serial number is serial (ASCII letters
// compared without case: Windows reports serials in capitals).
SerialMatch find_port_by_serial(const char *serial, char *path, size_t size);

// find_port_by_serial over a list list_ports already made (for several
// serial numbers, one look at the ports): same results.
SerialMatch match_port_serial(const PortInfo *ports, int count, const char *serial, char *path,
                              size_t size);

// 1 when the names a and b (as port_open_name gives them) lead to the same
// port: on Linux the same device node, through any link; on Windows the
// same COM name. 0 otherwise, also when either cannot be looked at.
int same_port(const char *a, const char *b);

// The entry of ports (count of them, from list_ports) that is the port
// named path (same_port), or -1.
int port_info_index(const PortInfo *ports, int count, const char *path);

// Turns what the user typed into the name to open, in out (size bytes).
// Windows: COM7, com7, \\.\COM7, \\.\com7 give \\.\COM7 (the form that works
// from COM10 up); anything else is refused. POSIX: a path as given; a bare
// name without '/' (ttyUSB0) is taken under /dev. Returns 0, or -1 when
// refused or out is too small (out then "").
int port_open_name(const char *given, char *out, size_t size);

// The two rules port_open_name picks from, available on every platform.
// COM names: "COM" in any case, optionally after \\.\, then 1 to
// COM_PORT_NUMBER_MAX without leading zeros, nothing after.
int com_port_open_name(const char *given, char *out, size_t size);
// POSIX names: given must pass port_name_ok; bare names other than "." and
// ".." get "/dev/" in front, and the result must pass port_name_ok too.
int posix_port_open_name(const char *given, char *out, size_t size);

#endif
