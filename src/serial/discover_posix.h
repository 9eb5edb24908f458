// Port discovery on POSIX systems, with the device and sysfs directories
// given. discover_ports() calls it with "/dev" and "/sys"; the tests point it
// at a tree of their own. Not part of the link interface.
#ifndef FWU_SERIAL_DISCOVER_POSIX_H
#define FWU_SERIAL_DISCOVER_POSIX_H

#include "serial/serial.h"

// Fills the table with the serial devices present under dev_root, judged by
// what sys_root tells about them; names are dev_root + "/" + device name.
// Returns the number found.
int discover_ports_under(PortTable *table, const char *dev_root, const char *sys_root);

#endif
