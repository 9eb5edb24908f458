// Parts of the POSIX serial link that the tests reach directly. Not part of
// the link interface; nothing but serial_posix.cpp and its tests includes it.
#ifndef FWU_SERIAL_POSIX_INTERNAL_H
#define FWU_SERIAL_POSIX_INTERNAL_H

#include <termios.h>

#include "serial/serial.h"

// Port discovery with the device and sysfs directories given.
// discover_ports() calls it with "/dev" and "/sys"; the tests point it at a
// tree of their own. Fills the table with the serial devices present under
// dev_root, judged by what sys_root tells about them; names are dev_root +
// "/" + device name. Returns the number found.
int discover_ports_under(PortTable *table, const char *dev_root, const char *sys_root);

// Turns tio into the line the boot loader speaks, at speed: raw 8E1, no flow
// control, modem lines ignored, reads that return at once with what is
// there. Special characters and anything not named stay as they were.
void set_line_settings(struct termios *tio, speed_t speed);

#endif
