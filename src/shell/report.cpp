#include "shell/report.h"

#include <stdarg.h>
#include <stdio.h>

static char status_text[STATUS_CAPACITY];
static StatusSink status_sink;

void set_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(status_text, sizeof status_text, format, args);
    va_end(args);
    if (status_sink)
        status_sink(status_text);
}

const char *current_status(void)
{
    return status_text;
}

void set_status_sink(StatusSink sink)
{
    status_sink = sink;
}

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
}

void flush_trace(void)
{
    fflush(stdout);
}
