// What the files of `update PORT...` share: the run's record, one record per
// device, and the steps kept apart from the devices' threads
// (cli_update.cpp: the threads and the run; cli_results.cpp: results and the
// live display; cli_prepare.cpp: the image and the ports, before any opens).
// Every function takes the run it works for; there is no global run.
#ifndef FWU_CLI_CLI_RUN_H
#define FWU_CLI_CLI_RUN_H

#include <stdio.h>

#include "cli/cli.h"
#include "cli/cli_platform.h"
#include "protocol/engine.h"
#include "protocol/report.h"
#include "serial/serial.h"

enum {
    TRACE_LINE_CAPACITY = 4096,  // an RX dump of a whole frame fits
    DISPLAY_PERIOD_MS = 100,     // the in-place progress is redrawn this often
    STOP_GRACE_S = 3             // after a stop, how long to wait for the threads
};

struct CliRun;

struct CliDevice {
    CliRun *run;  // the run it belongs to

    // Set before the threads start.
    char given[PORT_NAME_CAPACITY];  // as typed
    char path[PORT_NAME_CAPACITY];   // what is opened
    char why[CLI_TEXT_CAPACITY];     // set early when it cannot even be opened
    DeviceLink link;
    UpdateReport report;
    CliThread thread;
    int thread_started;

    // Written by the device's thread under the lock; read by the display.
    CliResult result;  // RESULT_RUNNING until it ends
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

struct CliRun {
    const CliOptions *options;
    const unsigned char *image;  // padded
    int32_t padded_size;
    int64_t image_size;
    uint16_t image_crc;
    FILE *json;
    FILE *log;
    FILE *results;  // where result lines and the summary go
    int live;       // progress redrawn in place on a terminal
    int drawn;      // lines of it on the screen
    const char *program;
    int device_count;
    CliDevice devices[CLI_MAX_PORTS];
};

// ---------------------------------------------------------------------------
// Results (cli_results.cpp)

// The device's result record for the JSON line and the summary.
void cli_summarise(const CliDevice *d, CliDeviceSummary *s);

// Ends the device with result: its JSON line and log line written.
void cli_finish_device(CliDevice *d, CliResult result, int reset_confirmed, const char *why);

// 1 when no device of run is still running.
int cli_all_ended(CliRun *run);

// One device's line of the live display, cut to width columns.
void cli_progress_line(const CliDevice *d, double now, char *text, size_t size, int width);

// Redraws the live display in place on standard error.
void cli_redraw(CliRun *run);

// The result lines and the summary at the end (after a stop: which ones
// were stopped).
void cli_print_results(CliRun *run, int stopped);

// ---------------------------------------------------------------------------
// Before any port is opened (cli_prepare.cpp); each returns 0, or -1 with
// the reason printed.

int cli_prepare_image(CliRun *run);
int cli_prepare_devices(CliRun *run);

// path opened for appending, or NULL with the reason printed.
FILE *cli_open_append(const CliRun *run, const char *path, const char *what);

#endif
