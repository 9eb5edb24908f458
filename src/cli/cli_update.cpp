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

// Closes a record file; a failure (the last buffered bytes not written) is
// said once, as for any write to it.
static void close_record(const CliRun *run, FILE *f, const char *label, int *failed)
{
    if (f != NULL && fclose(f) != 0 && !*failed) {
        fprintf(stderr, "%s: %s: cannot be written (%s)\n", run->program, label, strerror(errno));
        *failed = 1;
    }
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
    double start = monotonic_seconds();
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
            stop_deadline = monotonic_seconds() + STOP_GRACE_S;
        // A thread stuck in a write that never ends cannot be waited for;
        // the ports close with the process.
        if (stop_deadline > 0 && monotonic_seconds() > stop_deadline)
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
    close_record(run, run->log, run->log_label, &run->log_failed);
    if (run->json != stdout)
        close_record(run, run->json, run->json_label, &run->json_failed);
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
