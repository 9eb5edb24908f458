// What the operator and the engineer see of an update: its one-line status,
// its trace, and how far the image has got.
//
// Each update carries its own UpdateReport (DeviceLink.settings.report), so several
// updates can run side by side, each with its own sinks. The dialog and the
// terminal screen use the process-wide report, PROCESS_REPORT: one static
// status buffer handed to a status sink, and the trace on standard output.
#ifndef FWU_PROTOCOL_REPORT_H
#define FWU_PROTOCOL_REPORT_H

#include <stdint.h>

#ifdef __GNUC__
#define FWU_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define FWU_PRINTF(a, b)
#endif

enum {
    STATUS_CAPACITY = 64,  // a status text, terminator included (longer ones are cut)
    TRACE_CAPACITY = 512   // one formatted trace text, terminator included
};

// The sinks of one update. Any of them may be NULL (nothing is done).
struct UpdateReport {
    // Each status text as it is set.
    void (*status)(void *context, const char *text);
    // Each trace text as it is formatted; texts that do not end in "\n" run
    // on into the next one on the same line.
    void (*trace)(void *context, const char *text);
    // The trace written so far must be seen now.
    void (*flush)(void *context);
    // offset bytes of image_size have been acknowledged by the device.
    void (*progress)(void *context, int32_t offset, int32_t image_size);
    void *context;
};

// The process-wide report of the dialog and the terminal screen.
extern const UpdateReport PROCESS_REPORT;

// Formats a status / trace text and hands it to report's sinks. A NULL
// report means PROCESS_REPORT.
void report_status(const UpdateReport *report, const char *format, ...) FWU_PRINTF(2, 3);
void report_trace(const UpdateReport *report, const char *format, ...) FWU_PRINTF(2, 3);
void report_flush(const UpdateReport *report);
void report_progress(const UpdateReport *report, int32_t offset, int32_t image_size);

// The process-wide report's operations.

// Formats into the one static status buffer (always terminated, cut to fit)
// and hands the text to the status sink, if one is set.
void set_status(const char *format, ...) FWU_PRINTF(1, 2);

// The status text last set ("" before the first call).
const char *current_status(void);

// Receives every status text of the process-wide report as it is set: the
// dialog's status field on Windows, the terminal's status line on Linux, a
// recorder in tests.
typedef void (*StatusSink)(const char *text);
void set_status_sink(StatusSink sink);

// printf-style text to standard output, not flushed; callers flush where the
// trace must be seen at once.
void trace(const char *format, ...) FWU_PRINTF(1, 2);
void flush_trace(void);

#endif
