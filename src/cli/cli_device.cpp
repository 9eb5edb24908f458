// One device of a command-line run: its report's sinks (trace, status,
// progress), its port, its engine made ready, and the steps that drive it to
// its end. Shared by a run of `update`/`verify` (cli_update.cpp) and the
// production line's slots (cli_slots.cpp).
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
    char line[CLI_TRACE_LINE_CAPACITY + PORT_NAME_CAPACITY + 64];
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
        report_trace(d->link.settings.report, " . %s\n", note);
    return 0;
}

CliResult cli_result_of(const UpdateOutcome *outcome, UpdateMode mode)
{
    switch (outcome->end) {
    case UPDATE_DONE:
        return mode == MODE_VERIFY ? CLI_RESULT_MATCH : CLI_RESULT_DONE;
    case UPDATE_FAILED:
        return mode == MODE_VERIFY ? CLI_RESULT_MISMATCH : CLI_RESULT_FAILED;
    case UPDATE_PORT_LOST:
        return CLI_RESULT_PORT_LOST;
    case UPDATE_DEADLINE:
        return outcome->cause == CAUSE_STALLED ? CLI_RESULT_STALLED : CLI_RESULT_TIMEOUT;
    case UPDATE_STOPPED:
        return CLI_RESULT_STOPPED;
    case UPDATE_RUNNING:
        break;
    }
    return CLI_RESULT_RUNNING;
}

// "waiting for the device" on standard error: when the wait begins, and
// every CLI_WAITING_LINE_S while it lasts when standard error is a file (a
// terminal's row says it all the time; the slots wait all day).
static void say_waiting(CliDevice *d, double now)
{
    const CliRun *run = d->run;
    if (run->live || run->options->quiet || run->options->continuous ||
        now < d->next_waiting_line)
        return;
    double waited = now - d->started;
    char limit[64] = "";
    uint32_t wait_ms = d->link.settings.limits.first_answer_ms;
    if (wait_ms > 0)
        snprintf(limit, sizeof limit, "; --wait %g s", wait_ms / 1000.0);
    cli_lock();
    if (d->next_waiting_line == 0)
        fprintf(stderr, "%s: waiting for the device on %s (plug it in and power it up%s)\n",
                d->given, d->path, limit);
    else
        fprintf(stderr, "%s: still waiting for the device (%.0f s)\n", d->given, waited);
    fflush(stderr);
    cli_unlock();
    d->next_waiting_line = now + CLI_WAITING_LINE_S;
}

// "no answer from the device for 20 s; resending block 0x08004800" on
// standard error every CLI_SILENCE_LINE_S a linked device leaves unanswered,
// when standard error is a file (a terminal's row says it all the time).
static void say_unanswered(CliDevice *d, const UpdateOutcome *outcome)
{
    const CliRun *run = d->run;
    uint32_t lines = outcome->unanswered_ms / (CLI_SILENCE_LINE_S * 1000);
    if (lines <= d->silence_lines) {
        d->silence_lines = lines;  // 0 again once the device answers
        return;
    }
    d->silence_lines = lines;
    if (run->live || run->options->quiet)
        return;
    char who[PORT_NAME_CAPACITY + 32];
    if (run->options->continuous)
        snprintf(who, sizeof who, "%s #%ld", d->given, d->sequence + 1);
    else
        snprintf(who, sizeof who, "%s", d->given);
    cli_lock();
    fprintf(stderr, "%s: no answer from the device for %u s; resending %s\n", who,
            (unsigned)(lines * CLI_SILENCE_LINE_S), outcome->outstanding);
    fflush(stderr);
    cli_unlock();
}

// The engine's read-out for the display and the records.
static void publish(CliDevice *d, const UpdateOutcome *outcome)
{
    cli_lock();
    d->outcome = *outcome;
    cli_unlock();
}

// The first answer: noted with its time, and said when standard error is a file.
static void note_linked(CliDevice *d)
{
    const CliOptions *o = d->run->options;
    cli_lock();
    d->linked = 1;
    d->linked_at = monotonic_seconds();
    cli_utc_timestamp(d->linked_at_text, sizeof d->linked_at_text);
    if (!d->run->live && !o->quiet && !o->continuous) {
        fprintf(stderr, "%s: the device answered; %s %ld blocks\n", d->given,
                d->link.settings.mode == MODE_VERIFY ? "checking" : "writing",
                (long)(d->outcome.image_size / BLOCK_SIZE));
        fflush(stderr);
    }
    cli_unlock();
}

UpdateEnd cli_drive(CliDevice *d)
{
    DeviceLink *link = &d->link;
    UpdateOutcome outcome;
    cli_lock();
    d->result = CLI_RESULT_RUNNING;
    d->linked = 0;
    d->offset = 0;
    d->last_decile = 0;
    d->silence_lines = 0;
    cli_unlock();
    start_update(link);
    update_outcome(link, &outcome);
    publish(d, &outcome);
    report_status(link->settings.report, "Contacting Device...");
    for (;;) {
        if (cli_stop_requested())
            stop_update(link);
        step_update(link);
        UpdateEnd end = update_outcome(link, &outcome);
        publish(d, &outcome);
        if (end != UPDATE_RUNNING)
            return end;
        if (!outcome.linked)
            say_waiting(d, monotonic_seconds());
        if (!d->linked && outcome.linked)
            note_linked(d);
        if (outcome.linked)
            say_unanswered(d, &outcome);
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
static void set_limits(UpdateLimits *limits, const CliOptions *o)
{
    if (o->wait_s >= 0)
        limits->first_answer_ms = limit_ms(o->wait_s);
    if (o->timeout_s > 0)
        limits->finish_ms = limit_ms(o->timeout_s);
    if (o->stall_s > 0)
        limits->stall_ms = limit_ms(o->stall_s);
    limits->reset_for_ms = CLI_RESET_LIMIT_MS;
    limits->first_answer_name = "--wait";
    limits->finish_name = "--timeout";
    limits->stall_name = "--stall";
}

void cli_setup_link(CliDevice *d)
{
    CliRun *run = d->run;
    const CliOptions *o = run->options;
    init_link(&d->link);
    d->report.status = device_status;
    d->report.trace = device_trace;
    d->report.progress = device_progress;
    d->report.context = d;
    put_chosen_image(&d->link, &run->image);
    // Everything on the wire stays as the dialog has it but the reads,
    // which end as soon as a whole reply is in; the replies, matched to the
    // request they answer and never taken from before it; and, for a device
    // that echoes, the resend timeouts, which follow its answer times.
    UpdateSettings *settings = &d->link.settings;
    settings->report = &d->report;
    settings->reply_complete = 1;
    settings->match_replies = 1;
    settings->clear_stale = 1;
    settings->resend = o->resend_after_ms > 0 ? RESEND_FIXED : RESEND_FOLLOW_DEVICE;
    settings->resend_after_ms = o->resend_after_ms;
    set_limits(&settings->limits, o);
    settings->mode = o->command == CLI_VERIFY ? MODE_VERIFY : MODE_UPDATE;
    settings->no_reset = o->no_reset;
    // Nothing has happened yet: the records of a device that never runs
    // say so.
    update_outcome(&d->link, &d->outcome);
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
