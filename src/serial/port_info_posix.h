// list_ports with the device and sysfs directories given, for the tests.
// Nothing but port_info_posix.cpp and its tests includes it.
#ifndef FWU_SERIAL_PORT_INFO_POSIX_H
#define FWU_SERIAL_PORT_INFO_POSIX_H

#include "serial/port_info.h"

// list_ports() calls it with "/dev" and "/sys": the ports
// discover_ports_under finds there, identified from sys_root, with their
// links looked up in dev_root/serial/by-id. Returns the count.
int list_ports_under(PortInfo *out, int capacity, const char *dev_root, const char *sys_root);

#endif
