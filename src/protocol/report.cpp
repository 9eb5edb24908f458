#include "protocol/report.h"

#include <stdarg.h>
#include <stdio.h>

// ---------------------------------------------------------------------------
// The process-wide report: one status buffer, the trace on standard output.

static char status_text[STATUS_CAPACITY];
static StatusSink status_sink;

static void process_status(void *, const char *text)
{
    snprintf(status_text, sizeof status_text, "%s", text);
    if (status_sink)
        status_sink(status_text);
}

static void process_trace(void *, const char *text)
{
    fputs(text, stdout);
}

static void process_flush(void *)
{
    fflush(stdout);
}

const UpdateReport PROCESS_REPORT = {process_status, process_trace, process_flush, NULL, NULL};

// Formats into text (capacity bytes) and hands it to sink, when there is one.
static void send_text(void (*sink)(void *, const char *), void *context, char *text,
                      size_t capacity, const char *format, va_list args)
{
    if (sink == NULL)
        return;
    vsnprintf(text, capacity, format, args);
    sink(context, text);
}

void set_status(const char *format, ...)
{
    char text[STATUS_CAPACITY];
    va_list args;
    va_start(args, format);
    send_text(process_status, NULL, text, sizeof text, format, args);
    va_end(args);
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
    process_flush(NULL);
}

// ---------------------------------------------------------------------------
// Any update's report

void report_status(const UpdateReport *report, const char *format, ...)
{
    if (report == NULL)
        report = &PROCESS_REPORT;
    char text[STATUS_CAPACITY];
    va_list args;
    va_start(args, format);
    send_text(report->status, report->context, text, sizeof text, format, args);
    va_end(args);
}

void report_trace(const UpdateReport *report, const char *format, ...)
{
    if (report == NULL)
        report = &PROCESS_REPORT;
    char text[TRACE_CAPACITY];
    va_list args;
    va_start(args, format);
    send_text(report->trace, report->context, text, sizeof text, format, args);
    va_end(args);
}

void report_flush(const UpdateReport *report)
{
    if (report == NULL)
        report = &PROCESS_REPORT;
    if (report->flush != NULL)
        report->flush(report->context);
}

void report_progress(const UpdateReport *report, int32_t offset, int32_t image_size)
{
    if (report == NULL)
        report = &PROCESS_REPORT;
    if (report->progress != NULL)
        report->progress(report->context, offset, image_size);
}
