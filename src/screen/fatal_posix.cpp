// The fatal error report of the Linux tool: the same text as the Windows
// message box, with errno and strerror for the system's error number and
// description, on standard error once the terminal is given back; then the
// bell and exit code 1.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "session/fatal.h"
#include "screen/screen_posix.h"

void fatal_error(const char *message)
{
    int code = errno;  // before anything else can change it

    char text[FATAL_REPORT_CAPACITY];
    compose_fatal_report(text, sizeof text, message, (uint32_t)code,
                         code != 0 ? strerror(code) : NULL);

    terminal_restore();
    fputs(text, stderr);
    fflush(stderr);
    terminal_bell();
    exit(1);  // flushes the trace; the port closes with the process
}
