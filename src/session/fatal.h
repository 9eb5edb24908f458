// The fatal error report: a message box (the dialog) or a text on standard
// error (the terminal screen) that names the error and the system's word for
// it, a long low beep, and the end of the process. Its text is laid out here
// for both; each front end shows it in its own fatal_error, one file per
// platform.
#ifndef FWU_SESSION_FATAL_H
#define FWU_SESSION_FATAL_H

#include <stddef.h>
#include <stdint.h>

enum { FATAL_REPORT_CAPACITY = 1000 };

// Lays out the report in buffer (capacity bytes, terminator included):
//
//   "\n\nAn Error has occurred as follows:\n"
//   "          <message>\n"
//   "Error number <code> reported\n<description>"    only when code is not 0
//   "\n\n The program will now abort\n\n\n"
//
// The description is taken as it stands ('%' and all). When the text would
// not fit, the message and the description are cut, never the closing text.
// Returns the length of the text.
size_t compose_fatal_report(char *buffer, size_t capacity, const char *message,
                            uint32_t code, const char *description);

// Shows the report for message and the last system error in a box owned by
// the main window (if there is one yet), beeps, and exits with code 1.
[[noreturn]] void fatal_error(const char *message);

#endif
