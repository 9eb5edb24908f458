// What the files of `update PORT...` and `verify PORT...` share: the run's
// record, one record per device, and the steps kept apart from the devices'
// threads. Every function takes the run it works for; there is no global run.
//
// The command line's files:
//   cli.h, cli_main.cpp      the options record, the results, the commands;
//                            parse, then run (cli_main_win32.cpp: fwu-cli.exe)
//   cli_options.cpp          CLI11's table of commands and options, help texts
//   cli_help.cpp             the layout of every help text (also `fwu --help`)
//   cli_option_values.cpp    each option's value checked into CliOptions
//   cli_image.cpp            the image options, and `image FILE`
//   cli_output.cpp           every output written one way: records appended,
//                            whole files renamed over, refusals
//   cli_prepare.cpp          before any port opens: the image, the ports named
//   cli_update.cpp           the run: its records, a thread per port, the end
//   cli_device.cpp           one device: its report's sinks, port, link, drive
//   cli_slots.cpp            --continuous: each port a slot of a production line
//   cli_results.cpp          each device's end in the records, the live
//                            display, the result lines and the summary
//   cli_json.cpp             the JSON of a device's record and of `list`
//   cli_list.cpp             `list`
//   cli_platform_*.cpp       threads, the lock, Ctrl-C, terminals, the clocks
#ifndef FWU_CLI_CLI_RUN_H
#define FWU_CLI_CLI_RUN_H

#include <stdio.h>

#include "cli/cli.h"
#include "cli/cli_image.h"
#include "cli/cli_platform.h"
#include "protocol/engine.h"
#include "protocol/report.h"
#include "serial/port_info.h"
#include "serial/serial.h"

enum {
    CLI_TRACE_LINE_CAPACITY = 4096,  // an RX dump of a whole frame fits
    CLI_DISPLAY_PERIOD_MS = 100,     // the in-place progress is redrawn this often
    CLI_STOP_GRACE_S = 3,            // after a stop, how long to wait for the threads
    CLI_LATE_REPLY_MS = 1000,        // a reply this late shows as "no answer" on its row
    CLI_NAME_COLUMN_MIN = 8,         // a row's name: at least this wide ...
    CLI_NAME_COLUMN_MAX = 24,        // ... and at most
    CLI_WAITING_LINE_S = 10,         // a file-bound stderr hears a device is awaited this often,
    CLI_SILENCE_LINE_S = 10,         // ... that a device gives no answer this often,
    CLI_REMOVAL_LINE_S = 30          // ... and that a slot waits for a device's removal this often
};

struct CliRun;

// What a slot of the production line (--continuous) is doing.
enum CliSlotState {
    CLI_SLOT_WAITING = 0,   // waiting for a device; once one answered (linked), programming it
    CLI_SLOT_REMOVE,        // the last device ended and still answers: remove it
    CLI_SLOT_ADAPTER_GONE,  // the adapter is unplugged: waiting for it to come back
    CLI_SLOT_ENDED          // --count devices ended, or the slots were stopped
};

struct CliDevice {
    CliRun *run;  // the run it belongs to

    // Set before the threads start.
    char given[PORT_NAME_CAPACITY];  // as typed
    char path[PORT_NAME_CAPACITY];   // what is opened
    char why[CLI_TEXT_CAPACITY];     // set early when it cannot even be opened; at the
                                     // end, the reason or note in words
    DeviceLink link;                 // the command line writes its settings only
    UpdateReport report;
    CliThread thread;
    int thread_started;

    // Written by the device's thread under the lock; read by the display.
    CliResult result;       // CLI_RESULT_RUNNING until it ends
    UpdateOutcome outcome;  // the engine's read-out, after every step
    int linked;             // the current device has answered (when: linked_at)
    int32_t offset;         // image bytes acknowledged, as the progress reports them
    char status[STATUS_CAPACITY];
    double started, linked_at, ended;
    char started_at[40], ended_at[40];  // the same two on the wall clock (UTC)
    double next_waiting_line;           // when a file-bound stderr next hears it waits
    int last_decile;  // progress lines written when standard error is a file
    uint32_t silence_lines;  // ... and lines on the device's silence, since its last answer

    // The adapter behind the port, when the system tells it (found before
    // the threads start).
    int adapter_known;
    PortInfo adapter;

    // --continuous: the slot this port is (written by its thread under the lock).
    CliSlotState slot_state;
    long sequence;                     // devices ended on this slot so far
    long slot_done, slot_failed, slot_current, slot_other;
    int worst_status;                  // the worst exit status of its devices
    char serial_wanted[PORT_NAME_CAPACITY];  // usb:SERIAL: looked for again when it is back
    char linked_at_text[40];           // when the current device first answered (UTC)
    int finished;                      // its thread has ended
    char gone_why[CLI_TEXT_CAPACITY];  // why the adapter is not there, as the row shows it
    // The thread's own.
    char line[CLI_TRACE_LINE_CAPACITY];
    size_t line_len;
};

struct CliRun {
    const CliOptions *options;
    ChosenImage image;  // what is written, and what names it
    FILE *json;
    FILE *log;
    FILE *results;  // where result lines and the summary go
    FILE *trace;    // where --verbose puts the trace: standard output, or standard
                    // error when standard output carries the JSON
    int json_failed, log_failed, results_failed;  // a write failed (said once each)
    char json_label[CLI_ECHO_MAX + 16];  // "--json FILE", as messages name them
    char log_label[CLI_ECHO_MAX + 16];
    char run_id[40];
    char host[256];
    int stuck;      // a device's thread did not end after a stop
    double started; // when the devices' threads started (monotonic seconds)
    int live;       // progress redrawn in place on a terminal
    int drawn;      // lines of it on the screen
    const char *program;
    int device_count;
    CliDevice devices[CLI_MAX_PORTS];
};

// ---------------------------------------------------------------------------
// One device (cli_device.cpp), for a run and for the slots

// Opens and configures the device's port into its link. Returns 0, or -1
// with the reason in d->why.
int cli_open_device(CliDevice *d);
void cli_close_device(CliDevice *d);

// The device's link set up once, before its port is opened: init_link, then
// the command line's settings (its own report, reads that end once a reply
// is in, replies matched, the options' limits and mode) and the run's image.
void cli_setup_link(CliDevice *d);

// One update: starts it and steps the engine with no tick between steps
// until it ends; d->outcome says how. Returns its end.
UpdateEnd cli_drive(CliDevice *d);

// The engine's end as the device's result.
CliResult cli_result_of(const UpdateOutcome *outcome, UpdateMode mode);

// Writes out a trace line the device's engine left unfinished.
void cli_flush_trace_line(CliDevice *d);

// ---------------------------------------------------------------------------
// The production line's slots (cli_slots.cpp)

// A slot's thread: device after device on one port, until a stop or --count.
void cli_slot_main(void *argument);

// The slots' rows and the totals, redrawn in place on standard error.
void cli_slots_redraw(CliRun *run);

// The slots' counts and the totals at the end. Returns the exit status: the
// worst of the devices recorded (CLI_EXIT_INTERRUPTED for one cut short).
int cli_print_slot_results(CliRun *run, int stopped);

// ---------------------------------------------------------------------------
// Results (cli_results.cpp)

// The device's result record for the JSON line and the summary.
void cli_summarise(const CliDevice *d, CliDeviceSummary *s);

// Ends the device with result, as d->outcome tells it and why says (the
// engine's words, or why it never ran): its JSON line and log line written.
void cli_finish_device(CliDevice *d, CliResult result, const char *why);

// 1 when no device of run is still running.
int cli_all_ended(CliRun *run);

// Redraws the live display in place on standard error.
void cli_redraw(CliRun *run);

// Row row of a live display, laid out for width columns, into text.
typedef void (*CliRowText)(const CliRun *run, int row, double now, int width, char *text,
                           size_t size);

// Redraws rows lines in place on standard error, each from row_text and cut
// to the terminal's width, under the lock.
void cli_redraw_rows(CliRun *run, int rows, CliRowText row_text);

// Writes text to the run's JSON file, log or results stream (which names
// it in the message: "--json", "--log", "standard output"), and reports a
// failed write once on standard error. Returns 0, or -1 when it failed. The
// caller holds the lock.
int cli_write_record(CliRun *run, FILE *f, const char *which, const char *text);

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
