// Portable parts of fwu_port_info that the platform files share and the
// tests reach directly. Nothing but fwu_port_info and its tests includes it.
#ifndef FWU_SERIAL_PORT_INFO_INTERNAL_H
#define FWU_SERIAL_PORT_INFO_INTERNAL_H

#include <stddef.h>

#include "serial/port_info.h"

// Copies len bytes of untrusted text into out (size bytes, NUL-terminated):
// leading and trailing blanks (space, tab, CR, LF) dropped; control
// characters (C0, DEL, C1), NUL bytes and malformed UTF-8 each replaced by
// '?'; cut before the first character that does not fit. Returns 1 when the
// text came through whole and unaltered (blanks aside), 0 otherwise.
int clean_text(char *out, size_t size, const char *in, size_t len);

// Sets info->serial from raw text, or leaves it "" when clean_text would
// have to alter it.
void set_port_serial(PortInfo *info, const char *in, size_t len);

// The number in a COM name as com_port_open_name accepts it, or -1.
int com_port_number(const char *given);

// Windows device ids. parse_usb_ids finds VID_xxxx and PID_xxxx (four hex
// digits each, any case, "&" or "+" around them) in a hardware or instance
// id: 0 with both set, -1 otherwise. usb_device_serial tells a USB device's
// instance id, USB\VID_0403&PID_6001\A50285BI, from anything else (an
// interface of one, USB\VID_...&MI_00\..., another bus): 0 for a device,
// with its serial number in out, "" when Windows made one up (a last
// segment with '&' in it) or it does not fit; -1 for anything else.
int parse_usb_ids(const char *id, unsigned *vid, unsigned *pid);
int usb_device_serial(const char *instance_id, char *out, size_t size);

#endif
