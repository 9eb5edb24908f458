// What the operator and the engineer see: the one-line status and the trace.
#ifndef FWU_SHELL_REPORT_H
#define FWU_SHELL_REPORT_H

#ifdef __GNUC__
#define FWU_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define FWU_PRINTF(a, b)
#endif

enum { STATUS_CAPACITY = 64 };

// Formats into the one static status buffer (always terminated, cut to fit)
// and hands the text to the status sink, if one is set.
void set_status(const char *format, ...) FWU_PRINTF(1, 2);

// The status text last set ("" before the first call).
const char *current_status(void);

// Receives every status text as it is set: the dialog's status field on
// Windows, the terminal's status line on Linux, a recorder in tests.
typedef void (*StatusSink)(const char *text);
void set_status_sink(StatusSink sink);

// printf-style text to standard output, not flushed; callers flush where the
// trace must be seen at once.
void trace(const char *format, ...) FWU_PRINTF(1, 2);
void flush_trace(void);

#endif
