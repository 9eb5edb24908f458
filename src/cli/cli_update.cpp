// `update PORT...`: every port's update at once, each by its own engine on a
// thread of its own, with progress on standard error, a result per device,
// optional JSON Lines and log files, and an exit status for scripts.
#include "cli/cli_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <errno.h>

#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "fwu_version.h"
#include "image/image_file.h"
#include "protocol/engine.h"
#include "serial/port_info.h"

static void device_main(void *argument)
{
    CliDevice *d = (CliDevice *)argument;
    CliResult result;
    const char *why;
    if (cli_open_device(d) != 0) {
        result = CLI_RESULT_OPEN_FAILED;
        why = d->why;
    } else {
        cli_drive(d);
        result = cli_result_of(&d->outcome, d->link.settings.mode);
        why = d->outcome.why;
        cli_close_device(d);
    }
    cli_flush_trace_line(d);
    cli_finish_device(d, result, why);
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
                 CLI_ECHO_MAX, run->image.name, image_file_format_name(run->image.file.format),
                 (long long)run->image.file.size, (long)run->image.file.padded_size,
                 (unsigned)run->image.crc, run->image.file.sha256);
    cli_write_record(run, run->log, run->log_label, line);
}

// Closes a record file; a failure (the last buffered bytes not written) is
// said once, as for any write to it.
static void close_record(const CliRun *run, FILE *f, const char *label, int *failed)
{
    errno = 0;
    if (f != NULL && fclose(f) != 0 && !*failed) {
        fprintf(stderr, "%s: %s: cannot be written (%s)\n", run->program, label,
                cli_error_text(errno));
        *failed = 1;
    }
}

// The run's record files and streams, its names and the adapters, then the
// image line and the log's header. Returns 0, or -1 with the reason printed.
static int open_records(CliRun *run)
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
        return -1;
    if (options->log_path[0] != '\0' &&
        (run->log = cli_open_append(run, options->log_path, "--log")) == NULL)
        return -1;
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
    chosen_image_line(&run->image, image_line, sizeof image_line);
    char named[sizeof image_line + 64];
    snprintf(named, sizeof named, "%s: %s\n", run->program, image_line);
    cli_write_record(run, run->results, "standard output", named);
    write_log_header(run);
    return 0;
}

// Sets up every device's link and starts its thread (a slot's with
// --continuous); a device whose thread cannot start ends at once.
static void start_devices(CliRun *run)
{
    double start = monotonic_seconds();
    run->started = start;
    char started_at[40];
    cli_utc_timestamp(started_at, sizeof started_at);
    for (int i = 0; i < run->device_count; ++i) {
        CliDevice *d = &run->devices[i];
        cli_setup_link(d);
        d->started = start;
        memcpy(d->started_at, started_at, sizeof d->started_at);
        CliThreadMain thread_main = run->options->continuous ? cli_slot_main : device_main;
        if (cli_start_thread(&d->thread, thread_main, d) == 0) {
            d->thread_started = 1;
        } else {
            char why[] = "no thread could be started for it";
            cli_finish_device(d, CLI_RESULT_OPEN_FAILED, why);
            d->finished = 1;
        }
    }
}

static void redraw(CliRun *run)
{
    if (run->options->continuous)
        cli_slots_redraw(run);
    else
        cli_redraw(run);
}

// Until every device's thread has ended, or after a stop the grace time
// has passed (run->stuck then), redrawing the live display meanwhile.
static void wait_for_devices(CliRun *run)
{
    double stop_deadline = -1;
    while (!cli_all_ended(run)) {
        if (run->live)
            redraw(run);
        cli_sleep_ms(run->live ? CLI_DISPLAY_PERIOD_MS : 20);
        if (cli_stop_requested() && stop_deadline < 0)
            stop_deadline = monotonic_seconds() + CLI_STOP_GRACE_S;
        // A thread stuck in a write that never ends cannot be waited for;
        // the ports close with the process.
        if (stop_deadline > 0 && monotonic_seconds() > stop_deadline)
            break;
    }
    run->stuck = !cli_all_ended(run);
    if (!run->stuck)
        for (int i = 0; i < run->device_count; ++i)
            if (run->devices[i].thread_started)
                cli_join_thread(&run->devices[i].thread);
    if (run->live)
        redraw(run);
}

// The results, the record files closed, and the exit status. The caller
// holds the lock.
static int finish_run(CliRun *run, int stop)
{
    const CliOptions *options = run->options;
    int status = CLI_EXIT_ALL_VERIFIED;
    if (options->continuous) {
        status = cli_print_slot_results(run, stop != 0);
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
    if (status == CLI_EXIT_ALL_VERIFIED &&
        (run->json_failed || run->log_failed || run->results_failed))
        status = CLI_EXIT_RECORDS;
    return status;
}

// Runs the prepared devices of run, each on its own thread, until all have
// ended (or, after a stop, the grace time has passed). Returns the exit
// status.
static int run_devices(CliRun *run)
{
    if (open_records(run) != 0)
        return CLI_EXIT_USAGE;
    cli_install_stop_handlers();
    start_devices(run);
    wait_for_devices(run);
    cli_lock();
    int stop = cli_stop_requested();
    int status = finish_run(run, stop);
    cli_unlock();
    // A thread still stuck in a write holds the run: it ends with the process.
    // The slots' normal end is an interrupt: their status is their devices'.
    return stop != 0 && !run->options->continuous ? stop : status;
}

int cli_run_update(const CliOptions *options)
{
    if (options->port_count <= 0) {
        fprintf(stderr, "%s: nothing to do: name at least one PORT\n", options->program);
        return CLI_EXIT_USAGE;
    }
    // Large (a frame buffer and a trace line per device): kept off the stack.
    CliRun *run = (CliRun *)calloc(1, sizeof *run);
    if (run == NULL) {
        fprintf(stderr, "%s: not enough memory\n", options->program);
        return CLI_EXIT_USAGE;
    }
    run->options = options;
    run->program = options->program;
    int status = CLI_EXIT_USAGE;
    if (cli_prepare_image(run) == 0 && cli_prepare_devices(run) == 0)
        status = run_devices(run);
    // A thread stuck in a write after a stop still uses the run and its
    // image; they go with the process.
    if (!run->stuck) {
        free_chosen_image(&run->image);
        free(run);
    }
    return status;
}
