// `update PORT...`: every port's update at once, each by its own engine on a
// thread of its own, with progress on standard error, a result per device,
// optional JSON Lines and log files, and an exit status for scripts.
#include "cli/cli_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <errno.h>

#include "cli/cli_platform.h"
#include "fwu_version.h"
#include "image/image_file.h"
#include "protocol/engine.h"
#include "serial/port_info.h"

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
            say_waiting(d, cli_monotonic_seconds());
        if (!d->linked && outcome->linked) {
            cli_lock();
            d->linked = 1;
            d->linked_at = cli_monotonic_seconds();
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

static void device_main(void *argument)
{
    CliDevice *d = (CliDevice *)argument;
    UpdateOutcome outcome;
    CliResult result;
    if (cli_open_device(d) != 0) {
        result = RESULT_OPEN_FAILED;
        outcome.reset_confirmed = 0;
        snprintf(outcome.why, sizeof outcome.why, "%s", d->why);
    } else {
        cli_drive(d, &outcome);
        result = cli_result_of(outcome.end, d->link.mode);
        cli_close_device(d);
    }
    cli_flush_trace_line(d);
    cli_finish_device(d, result, outcome.reset_confirmed, outcome.why);
    cli_lock();
    d->finished = 1;
    cli_unlock();
}

// What the system tells about each device's adapter (its USB ids, serial
// number and by-id link), for the records; looked for once for all ports.
static void find_adapters(CliRun *run)
{
    PortInfo *present = (PortInfo *)calloc(PORT_TABLE_CAPACITY, sizeof *present);
    if (present == NULL)
        return;
    int count = list_ports(present, PORT_TABLE_CAPACITY);
    for (int i = 0; i < run->device_count; ++i) {
        CliDevice *d = &run->devices[i];
        int found = d->path[0] != '\0' ? port_info_index(present, count, d->path) : -1;
        if (found >= 0) {
            d->adapter = present[found];
            d->adapter_known = 1;
        }
    }
    free(present);
}

// The log's first line for this run: when, which tool, on which host, the
// command line, and which image.
static void write_log_header(CliRun *run)
{
    if (run->log == NULL)
        return;
    char stamp[40];
    cli_utc_timestamp(stamp, sizeof stamp);
    char line[CLI_HEADER_CAPACITY];
    int len = snprintf(line, sizeof line, "%s RUN %s %s on %s, run %s:", stamp, run->program,
                       FWU_VERSION, run->host[0] != '\0' ? run->host : "(unknown host)",
                       run->run_id);
    const CliOptions *o = run->options;
    for (int i = 0; i < o->argc && len >= 0 && (size_t)len < sizeof line - 8; ++i)
        len += snprintf(line + len, sizeof line - (size_t)len, " %.*s", CLI_ECHO_MAX, o->argv[i]);
    if (len >= 0 && (size_t)len < sizeof line)
        snprintf(line + len, sizeof line - (size_t)len,
                 "; IMAGE %.*s format=%s size=%lld padded_size=%ld crc=0x%04x sha256=%s\n",
                 CLI_ECHO_MAX, run->facts.name, image_file_format_name(run->facts.format),
                 (long long)run->facts.size, (long)run->facts.padded_size,
                 (unsigned)run->facts.crc, run->facts.sha256);
    cli_write_record(run, run->log, run->log_label, line);
}

// Runs the prepared devices of run, each on its own thread, until all have
// ended (or, after a stop, the grace time has passed). Returns the exit
// status.
static int run_devices(CliRun *run)
{
    const CliOptions *options = run->options;
    int json_to_stdout = strcmp(options->json_path, "-") == 0;
    snprintf(run->json_label, sizeof run->json_label, "--json %.*s", CLI_ECHO_MAX,
             json_to_stdout ? "- (standard output)" : options->json_path);
    snprintf(run->log_label, sizeof run->log_label, "--log %.*s", CLI_ECHO_MAX,
             options->log_path);
    if (json_to_stdout)
        run->json = stdout;
    else if (options->json_path[0] != '\0' &&
             (run->json = cli_open_append(run, options->json_path, "--json")) == NULL)
        return EXIT_USAGE;
    if (options->log_path[0] != '\0' &&
        (run->log = cli_open_append(run, options->log_path, "--log")) == NULL)
        return EXIT_USAGE;
    // Standard output carries JSON when asked; the words and the trace go
    // to stderr then.
    run->results = json_to_stdout ? stderr : stdout;
    run->trace = json_to_stdout ? stderr : stdout;
    run->live = !options->quiet && cli_stderr_is_live_terminal();
    cli_run_id(run->run_id, sizeof run->run_id);
    cli_host_name(run->host, sizeof run->host);
    find_adapters(run);
    // Every run names its image first, and so does its log.
    char image_line[CLI_PATH_CAPACITY + 256];
    cli_image_line(&run->facts, image_line, sizeof image_line);
    char named[sizeof image_line + 64];
    snprintf(named, sizeof named, "%s: %s\n", run->program, image_line);
    cli_write_record(run, run->results, "standard output", named);
    write_log_header(run);

    cli_install_stop_handlers();
    double start = cli_monotonic_seconds();
    run->started = start;
    char started_at[40];
    cli_utc_timestamp(started_at, sizeof started_at);
    for (int i = 0; i < run->device_count; ++i) {
        CliDevice *d = &run->devices[i];
        cli_setup_link(d);
        d->started = start;
        memcpy(d->started_at, started_at, sizeof d->started_at);
        if (cli_start_thread(&d->thread, options->continuous ? cli_slot_main : device_main, d) ==
            0) {
            d->thread_started = 1;
        } else {
            char why[] = "no thread could be started for it";
            cli_finish_device(d, RESULT_OPEN_FAILED, 0, why);
            d->finished = 1;
        }
    }

    double stop_deadline = -1;
    while (!cli_all_ended(run)) {
        if (run->live)
            options->continuous ? cli_bench_redraw(run) : cli_redraw(run);
        cli_sleep_ms(run->live ? DISPLAY_PERIOD_MS : 20);
        if (cli_stop_requested() && stop_deadline < 0)
            stop_deadline = cli_monotonic_seconds() + STOP_GRACE_S;
        // A thread stuck in a write that never ends cannot be waited for;
        // the ports close with the process.
        if (stop_deadline > 0 && cli_monotonic_seconds() > stop_deadline)
            break;
    }
    int stuck = !cli_all_ended(run);
    run->stuck = stuck;
    if (!stuck)
        for (int i = 0; i < run->device_count; ++i)
            if (run->devices[i].thread_started)
                cli_join_thread(&run->devices[i].thread);
    if (run->live)
        options->continuous ? cli_bench_redraw(run) : cli_redraw(run);

    cli_lock();
    int stop = cli_stop_requested();
    int status = EXIT_ALL_VERIFIED;
    if (options->continuous) {
        status = cli_print_bench_results(run, stop != 0);
    } else {
        cli_print_results(run, stop != 0);
        for (int i = 0; i < run->device_count; ++i) {
            int s = cli_result_exit_status(run->devices[i].result);
            if (s > status)
                status = s;
        }
    }
    if (run->log != NULL && fclose(run->log) != 0 && !run->log_failed) {
        fprintf(stderr, "%s: %s: cannot be written (%s)\n", run->program, run->log_label,
                strerror(errno));
        run->log_failed = 1;
    }
    if (run->json != NULL && run->json != stdout && fclose(run->json) != 0 && !run->json_failed) {
        fprintf(stderr, "%s: %s: cannot be written (%s)\n", run->program, run->json_label,
                strerror(errno));
        run->json_failed = 1;
    }
    if ((fflush(stdout) != 0 || ferror(stdout)) && !run->results_failed &&
        !(run->json == stdout && run->json_failed)) {
        fprintf(stderr, "%s: standard output: cannot be written: the records of this run are "
                        "not all there\n",
                run->program);
        run->results_failed = 1;
    }
    // A record lost is said in the status, unless a device's own is worse.
    if (status == EXIT_ALL_VERIFIED && (run->json_failed || run->log_failed || run->results_failed))
        status = EXIT_RECORDS;
    cli_unlock();
    // A thread still stuck in a write holds the run: it ends with the process.
    // The bench's normal end is an interrupt: its status is its devices'.
    return stop != 0 && !options->continuous ? stop : status;
}

int cli_run_update(const CliOptions *options)
{
    if (options->port_count <= 0) {
        fprintf(stderr, "%s: nothing to do: name at least one PORT\n", options->program);
        return EXIT_USAGE;
    }
    // Large (a frame buffer and a trace line per device): kept off the stack.
    CliRun *run = (CliRun *)calloc(1, sizeof *run);
    if (run == NULL) {
        fprintf(stderr, "%s: not enough memory\n", options->program);
        return EXIT_USAGE;
    }
    run->options = options;
    run->program = options->program;
    int status = EXIT_USAGE;
    if (cli_prepare_image(run) == 0 && cli_prepare_devices(run) == 0)
        status = run_devices(run);
    // A thread stuck in a write after a stop still uses the run and its
    // image; they go with the process.
    if (!run->stuck) {
        free((void *)run->image);
        free(run);
    }
    return status;
}
