// What the files of `update PORT...` share: the run's record, one record per
// device, and the steps kept apart from the devices' threads
// (cli_update.cpp: the threads and the run; cli_results.cpp: results and the
// live display; cli_prepare.cpp: the image and the ports, before any opens).
#ifndef FWU_SHELL_CLI_UPDATE_H
#define FWU_SHELL_CLI_UPDATE_H

#include <stdio.h>

#include "protocol/engine.h"
#include "protocol/report.h"
#include "serial/serial.h"
#include "shell/cli.h"
#include "shell/cli_image.h"
#include "shell/cli_platform.h"

enum {
    TRACE_LINE_CAPACITY = 4096,  // an RX dump of a whole frame fits
    DISPLAY_PERIOD_MS = 100,     // the in-place progress is redrawn this often
    STOP_GRACE_S = 3             // after a stop, how long to wait for the threads
};

struct Device {
    // Set before the threads start.
    char given[PORT_NAME_CAPACITY];  // as typed
    char path[PORT_NAME_CAPACITY];   // what is opened
    char why[CLI_TEXT_CAPACITY];     // set early when it cannot even be opened
    DeviceLink link;
    UpdateReport report;
    CliThread thread;
    int thread_started;

    // Written by the device's thread under the lock; read by the display.
    int result;  // a DeviceResult; RESULT_RUNNING until it ends
    int reset_confirmed;
    int linked;
    int32_t offset;
    char status[STATUS_CAPACITY];
    double started, linked_at, ended;
    int last_decile;  // progress lines written when standard error is a file

    // The thread's own.
    char line[TRACE_LINE_CAPACITY];
    size_t line_len;
};

struct UpdateRun {
    const CliOptions *options;
    const unsigned char *image;  // padded
    int32_t padded_size;
    int64_t image_size;
    uint16_t image_crc;
    CliImage facts;  // what names the image (its padded bytes are image above)
    FILE *json;
    FILE *log;
    FILE *results;  // where result lines and the summary go
    int live;       // progress redrawn in place on a terminal
    int drawn;      // lines of it on the screen
    const char *program;
    int device_count;
    Device devices[CLI_MAX_PORTS];
};

extern UpdateRun run;

// The sinks of each device's report (cli_update.cpp); context is the Device.
void device_trace(void *context, const char *text);
void device_status(void *context, const char *text);
void device_progress(void *context, int32_t offset, int32_t image_size);

// ---------------------------------------------------------------------------
// Results (cli_results.cpp)

// The device's result record for the JSON line and the summary.
void summarise(const Device *d, DeviceSummary *s);

// Ends the device with result: its JSON line and log line written.
void finish(Device *d, int result, int reset_confirmed, const char *why);

// 1 when no device is still running.
int all_ended(void);

// One device's line of the live display, cut to width columns.
void progress_line(const Device *d, double now, char *text, size_t size, int width);

// Redraws the live display in place on standard error.
void redraw(void);

// The result lines and the summary at the end (after a stop: which ones
// were stopped).
void print_results(int stopped);

// ---------------------------------------------------------------------------
// Before any port is opened (cli_prepare.cpp); each returns 0, or -1 with
// the reason printed.

int prepare_image(const CliOptions *o);
int prepare_devices(const CliOptions *o);

// path opened for appending, or NULL with the reason printed.
FILE *open_append(const char *path, const char *what);

#endif
