// One device of a command-line run: its report's sinks (trace, status,
// progress), its port, its engine made ready, and the steps that drive it to
// its end. Shared by a run of `update`/`verify` (cli_update.cpp) and the
// production bench's slots (cli_bench.cpp).
#include "cli/cli_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli/cli_platform.h"
#include "protocol/engine.h"

// ---------------------------------------------------------------------------
// The sinks of each device's report

// One whole trace line: to standard output with --verbose, to the log.
static void emit_trace_line(CliDevice *d, const char *text, size_t len)
{
    CliRun *run = d->run;
    char line[TRACE_LINE_CAPACITY + PORT_NAME_CAPACITY + 64];
    cli_lock();
    if (run->options->verbose) {
        snprintf(line, sizeof line, "[%s] %.*s\n", d->given, (int)len, text);
        cli_write_record(run, run->trace,
                         run->trace == stdout ? "standard output" : "standard error", line);
    }
    if (run->log != NULL) {
        char stamp[40];
        cli_utc_timestamp(stamp, sizeof stamp);
        snprintf(line, sizeof line, "%s %s %.*s\n", stamp, d->given, (int)len, text);
        cli_write_record(run, run->log, run->log_label, line);
    }
    cli_unlock();
}

static void device_trace(void *context, const char *text)
{
    CliDevice *d = (CliDevice *)context;
    if (!d->run->options->verbose && d->run->log == NULL)
        return;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\n' || d->line_len == sizeof d->line) {
            emit_trace_line(d, d->line, d->line_len);
            d->line_len = 0;
            if (*p == '\n')
                continue;
        }
        d->line[d->line_len++] = *p;
    }
}

static void device_status(void *context, const char *text)
{
    CliDevice *d = (CliDevice *)context;
    cli_lock();
    snprintf(d->status, sizeof d->status, "%s", text);
    cli_unlock();
}

static void device_progress(void *context, int32_t offset, int32_t image_size)
{
    CliDevice *d = (CliDevice *)context;
    cli_lock();
    d->offset = offset;
    // Without a live display, a plain line every 10 % keeps CI logs short.
    int decile = image_size > 0 ? (int)((int64_t)offset * 10 / image_size) : 10;
    if (!d->run->live && !d->run->options->quiet && !d->run->options->continuous &&
        decile > d->last_decile) {
        d->last_decile = decile;
        fprintf(stderr, "%s: %3d%%  %u/%u blocks\n", d->given, decile * 10,
                (unsigned)(offset / BLOCK_SIZE), (unsigned)(image_size / BLOCK_SIZE));
        fflush(stderr);
    }
    cli_unlock();
}

// ---------------------------------------------------------------------------
// One device

int cli_open_device(CliDevice *d)
{
    if (d->why[0] != '\0')
        return -1;
    PortHandle port = NO_PORT;
    PortOpenFailure failure;
    if (open_port_why(d->path, &port, &failure) != 0) {
        snprintf(d->why, sizeof d->why, "%s", failure.text);
        return -1;
    }
    char why[64];
    if (configure_port_why(port, LINE_BAUD, READ_INTERVAL_MS, why, sizeof why) != 0) {
        close_port(port);
        snprintf(d->why, sizeof d->why,
                 "%.*s: opened, but its line cannot be set (%s): not a serial port?",
                 CLI_ECHO_MAX, d->path, why);
        return -1;
    }
    (void)set_low_latency(port);
    d->link.port = port;
    d->link.line = serial_transport(port);
    d->link.port_name = d->path;
    d->link.baud = LINE_BAUD;
    const char *note = port_note(port);
    if (note != NULL)
        report_trace(d->link.report, " . %s\n", note);
    return 0;
}

CliResult cli_result_of(UpdateEnd end, UpdateMode mode)
{
    switch (end) {
    case UPDATE_DONE:
        return mode == MODE_VERIFY ? RESULT_MATCH : RESULT_DONE;
    case UPDATE_FAILED:
        return mode == MODE_VERIFY ? RESULT_MISMATCH : RESULT_FAILED;
    case UPDATE_PORT_LOST:
        return RESULT_PORT_LOST;
    case UPDATE_DEADLINE:
        return RESULT_TIMEOUT;
    case UPDATE_STOPPED:
        return RESULT_STOPPED;
    case UPDATE_RUNNING:
        break;
    }
    return RESULT_RUNNING;
}

// "waiting for the device" on standard error: when the wait begins, and
// every WAITING_LINE_S while it lasts when standard error is a file (a
// terminal's row says it all the time; a bench's slots wait all day).
static void say_waiting(CliDevice *d, double now)
{
    const CliRun *run = d->run;
    if (run->live || run->options->quiet || run->options->continuous ||
        now < d->next_waiting_line)
        return;
    double waited = now - d->started;
    char limit[64] = "";
    if (d->link.limits.first_answer_ms > 0)
        snprintf(limit, sizeof limit, "; --wait %g s", d->link.limits.first_answer_ms / 1000.0);
    cli_lock();
    if (d->next_waiting_line == 0)
        fprintf(stderr, "%s: waiting for the device on %s (plug it in and power it up%s)\n",
                d->given, d->path, limit);
    else
        fprintf(stderr, "%s: still waiting for the device (%.0f s)\n", d->given, waited);
    fflush(stderr);
    cli_unlock();
    d->next_waiting_line = now + WAITING_LINE_S;
}

void cli_drive(CliDevice *d, UpdateOutcome *outcome)
{
    const CliOptions *o = d->run->options;
    DeviceLink *link = &d->link;
    start_update(link);
    report_status(link->report, "Contacting Device...");
    for (;;) {
        if (cli_stop_requested())
            stop_update(link);
        step_update(link);
        if (update_outcome(link, outcome) != UPDATE_RUNNING)
            return;
        cli_lock();
        d->reply_wait_ms = outcome->reply_wait_ms;
        d->resend_in_ms = outcome->resend_in_ms;
        cli_unlock();
        if (!outcome->linked)
            say_waiting(d, monotonic_seconds());
        if (!d->linked && outcome->linked) {
            cli_lock();
            d->linked = 1;
            d->linked_at = monotonic_seconds();
            cli_utc_timestamp(d->linked_at_text, sizeof d->linked_at_text);
            if (!d->run->live && !o->quiet && !o->continuous) {
                fprintf(stderr, "%s: the device answered; %s %ld blocks\n", d->given,
                        link->mode == MODE_VERIFY ? "checking" : "writing",
                        (long)(link->image_size / BLOCK_SIZE));
                fflush(stderr);
            }
            cli_unlock();
        }
    }
}

// Seconds as the engine's limit in milliseconds: at least 1, at most about
// 46 days (the engine's clock wraps at 2^32 ms).
static uint32_t limit_ms(double seconds)
{
    double ms = seconds * 1000;
    return ms >= 4e9 ? (uint32_t)4e9 : ms < 1 ? 1 : (uint32_t)ms;
}

// The limits of o (none where o sets none), named as the options are.
static void set_limits(DeviceLink *link, const CliOptions *o)
{
    UpdateLimits *limits = &link->limits;
    if (o->wait_s >= 0)
        limits->first_answer_ms = limit_ms(o->wait_s);
    if (o->timeout_s > 0)
        limits->finish_ms = limit_ms(o->timeout_s);
    limits->reset_for_ms = CLI_RESET_LIMIT_MS;
    limits->first_answer_name = "--wait";
    limits->finish_name = "--timeout";
}

void cli_setup_link(CliDevice *d)
{
    CliRun *run = d->run;
    PortHandle port = d->link.port;
    Transport line = d->link.line;
    int had_port = port != NO_PORT;
    init_link(&d->link);
    if (had_port) {
        d->link.port = port;
        d->link.line = line;
        d->link.port_name = d->path;
        d->link.baud = LINE_BAUD;
    }
    d->linked = 0;
    d->offset = 0;
    d->last_decile = 0;
    d->reply_wait_ms = 0;
    d->resend_in_ms = 0;
    d->report.status = device_status;
    d->report.trace = device_trace;
    d->report.progress = device_progress;
    d->report.context = d;
    d->link.report = &d->report;
    d->link.image = run->image;
    d->link.image_size = run->padded_size;
    d->link.base = IMAGE_BASE;
    use_reply_complete_reads(&d->link);
    use_reply_matching(&d->link);
    set_limits(&d->link, run->options);
    if (run->options->command == CLI_VERIFY)
        d->link.mode = MODE_VERIFY;
    d->link.no_reset = run->options->no_reset;
    d->result = RESULT_RUNNING;
}

void cli_flush_trace_line(CliDevice *d)
{
    if (d->line_len > 0) {
        emit_trace_line(d, d->line, d->line_len);
        d->line_len = 0;
    }
}

void cli_close_device(CliDevice *d)
{
    close_port(d->link.port);
    d->link.port = NO_PORT;
    d->link.line = no_transport();
}
