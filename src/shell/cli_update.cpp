// `update PORT...`: every port's update at once, each by its own engine on a
// thread of its own, with progress on standard error, a result per device,
// optional JSON Lines and log files, and an exit status for scripts.
#include "shell/cli_update.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fwu_version.h"
#include "image/image.h"
#include "image/image_file.h"
#include "protocol/engine.h"
#include "shell/cli_platform.h"

UpdateRun run;

static const char *const RESULT_NAMES[] = {"running", "done", "failed", "port-lost",
                                           "open-failed", "timeout", "stopped"};

// ---------------------------------------------------------------------------
// The sinks of each device's report

// One whole trace line: to standard output with --verbose, to the log.
static void emit_trace_line(Device *d, const char *text, size_t len)
{
    cli_lock();
    if (run.options->verbose)
        fprintf(stdout, "[%s] %.*s\n", d->given, (int)len, text);
    if (run.log != NULL) {
        char stamp[40];
        utc_timestamp(stamp, sizeof stamp);
        fprintf(run.log, "%s %s %.*s\n", stamp, d->given, (int)len, text);
        fflush(run.log);
    }
    cli_unlock();
}

void device_trace(void *context, const char *text)
{
    Device *d = (Device *)context;
    if (!run.options->verbose && run.log == NULL)
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

void device_status(void *context, const char *text)
{
    Device *d = (Device *)context;
    cli_lock();
    snprintf(d->status, sizeof d->status, "%s", text);
    cli_unlock();
}

void device_progress(void *context, int32_t offset, int32_t image_size)
{
    Device *d = (Device *)context;
    cli_lock();
    d->offset = offset;
    // Without a live display, a plain line every 10 % keeps CI logs short.
    int decile = image_size > 0 ? (int)((int64_t)offset * 10 / image_size) : 10;
    if (!run.live && !run.options->quiet && decile > d->last_decile) {
        d->last_decile = decile;
        fprintf(stderr, "%s: %3d%%  %u/%u blocks\n", d->given, decile * 10,
                (unsigned)d->link.tally.blocks_acked, (unsigned)(image_size / BLOCK_SIZE));
        fflush(stderr);
    }
    cli_unlock();
}

namespace {

// ---------------------------------------------------------------------------
// One device

// Opens and configures the device's port. Returns 0, or -1 with the reason
// in d->why.
int open_device(Device *d)
{
    if (d->why[0] != '\0')
        return -1;
    clear_system_error();
    PortHandle port = open_port(d->path);
    if (port == NO_PORT) {
        describe_open_failure(d->path, last_system_error(), d->why, sizeof d->why);
        return -1;
    }
    configure_port(port, LINE_BAUD, READ_INTERVAL_MS);
    (void)set_low_latency(port);
    d->link.port = port;
    d->link.port_name = d->path;
    d->link.baud = LINE_BAUD;
    const char *note = port_note(port);
    if (note != NULL)
        report_trace(d->link.report, " . %s\n", note);
    return 0;
}

// Steps the engine with no tick between steps until the update ends.
int drive(Device *d, int *reset_confirmed, char *why, size_t why_size)
{
    const CliOptions *o = run.options;
    DeviceLink *link = &d->link;
    link->state = Start;
    report_status(link->report, "Contacting Device...");
    double resetting_since = -1;
    for (;;) {
        if (stop_requested()) {
            snprintf(why, why_size, "stopped by an interrupt");
            return RESULT_STOPPED;
        }
        step_update(link);
        double now = monotonic_seconds();
        if (link->port_gone && link->state == AwaitResetAck) {
            // Verified, and gone on the reset: a device whose own USB port
            // goes away when it resets.
            snprintf(why, why_size,
                     "the port went away after the reset request (the device reset and took "
                     "its port with it?); the image is verified");
            *reset_confirmed = 0;
            return RESULT_DONE;
        }
        if (link->port_gone) {
            snprintf(why, why_size,
                     "the port went away after %ld of %ld bytes (adapter unplugged?)",
                     (long)link->offset, (long)link->image_size);
            return RESULT_PORT_LOST;
        }
        if (link->state == Done) {
            *reset_confirmed = 1;
            return RESULT_DONE;
        }
        if (link->state == Failed) {
            snprintf(why, why_size,
                     "the device reported CRC %#06x for the written image, whose CRC is "
                     "%#06x; it was not reset",
                     (unsigned)link->tally.remote_crc, (unsigned)link->tally.local_crc);
            return RESULT_FAILED;
        }
        if (!d->linked && link->state != Start && link->state != Contact &&
            link->state != AwaitLink) {
            cli_lock();
            d->linked = 1;
            d->linked_at = now;
            if (!run.live && !o->quiet) {
                fprintf(stderr, "%s: the device answered; writing %ld blocks\n", d->given,
                        (long)(link->image_size / BLOCK_SIZE));
                fflush(stderr);
            }
            cli_unlock();
        }
        if (!d->linked && o->wait_s >= 0 && now - d->started > o->wait_s) {
            snprintf(why, why_size,
                     "no answer from the device within --wait %g s (plugged in and powered?)",
                     o->wait_s);
            return RESULT_TIMEOUT;
        }
        if (o->timeout_s > 0 && now - d->started > o->timeout_s) {
            snprintf(why, why_size, "not finished within --timeout %g s (%ld of %ld bytes)",
                     o->timeout_s, (long)link->offset, (long)link->image_size);
            return RESULT_TIMEOUT;
        }
        // A verified device that resets without acknowledging is done: the
        // reset request goes out every 100 ms, for a while only.
        if (link->state == AwaitResetAck) {
            if (resetting_since < 0)
                resetting_since = now;
            else if (now - resetting_since > RESET_LIMIT_MS / 1000.0) {
                snprintf(why, why_size,
                         "the device did not acknowledge the reset within %d s; the image is "
                         "verified",
                         RESET_LIMIT_MS / 1000);
                *reset_confirmed = 0;
                return RESULT_DONE;
            }
        }
    }
}

void device_main(void *argument)
{
    Device *d = (Device *)argument;
    char why[CLI_TEXT_CAPACITY] = "";
    int reset_confirmed = 0;
    int result;
    if (open_device(d) != 0) {
        result = RESULT_OPEN_FAILED;
        snprintf(why, sizeof why, "%s", d->why);
    } else {
        result = drive(d, &reset_confirmed, why, sizeof why);
        close_port(d->link.port);
        d->link.port = NO_PORT;
    }
    if (d->line_len > 0) {
        emit_trace_line(d, d->line, d->line_len);
        d->line_len = 0;
    }
    finish(d, result, reset_confirmed, why);
}

}  // namespace

const char *result_name(int result)
{
    if (result < 0 || result > RESULT_STOPPED)
        return "unknown";
    return RESULT_NAMES[result];
}

int result_exit_status(int result)
{
    switch (result) {
    case RESULT_DONE:
        return EXIT_ALL_VERIFIED;
    case RESULT_FAILED:
        return EXIT_CRC_MISMATCH;
    case RESULT_PORT_LOST:
    case RESULT_OPEN_FAILED:
        return EXIT_PORT;
    case RESULT_TIMEOUT:
        return EXIT_DEADLINE;
    default:
        return EXIT_PORT;
    }
}

int run_update(const CliOptions *options)
{
    memset(&run, 0, sizeof run);
    run.options = options;
    run.program = options->program;
    if (options->port_count <= 0) {
        fprintf(stderr, "%s: nothing to do: name at least one PORT\n", run.program);
        return EXIT_USAGE;
    }
    if (prepare_image(options) != 0 || prepare_devices(options) != 0)
        return EXIT_USAGE;

    int json_to_stdout = strcmp(options->json_path, "-") == 0;
    if (json_to_stdout)
        run.json = stdout;
    else if (options->json_path[0] != '\0' &&
             (run.json = open_append(options->json_path, "--json")) == NULL)
        return EXIT_USAGE;
    if (options->log_path[0] != '\0' &&
        (run.log = open_append(options->log_path, "--log")) == NULL)
        return EXIT_USAGE;
    // Standard output carries JSON when asked; the words go to stderr then.
    run.results = json_to_stdout ? stderr : stdout;
    run.live = !options->quiet && stderr_is_live_terminal();

    // Every run names its image first, and so does its log.
    char image_line[CLI_PATH_CAPACITY + 256];
    cli_image_line(&run.facts, image_line, sizeof image_line);
    fprintf(run.results, "%s: %s\n", run.program, image_line);
    fflush(run.results);
    if (run.log != NULL) {
        char stamp[40];
        utc_timestamp(stamp, sizeof stamp);
        fprintf(run.log, "%s %s IMAGE %s format=%s size=%lld padded_size=%ld crc=0x%04x "
                "sha256=%s\n",
                stamp, run.program, run.facts.name, image_file_format_name(run.facts.format),
                (long long)run.facts.size, (long)run.facts.padded_size,
                (unsigned)run.facts.crc, run.facts.sha256);
        fflush(run.log);
    }

    install_stop_handlers();
    double start = monotonic_seconds();
    for (int i = 0; i < run.device_count; ++i) {
        Device *d = &run.devices[i];
        d->started = start;
        if (start_thread(&d->thread, device_main, d) == 0) {
            d->thread_started = 1;
        } else {
            char why[] = "no thread could be started for it";
            finish(d, RESULT_OPEN_FAILED, 0, why);
        }
    }

    double stop_deadline = -1;
    while (!all_ended()) {
        if (run.live)
            redraw();
        cli_sleep_ms(run.live ? DISPLAY_PERIOD_MS : 20);
        if (stop_requested() && stop_deadline < 0)
            stop_deadline = monotonic_seconds() + STOP_GRACE_S;
        // A thread stuck in a write that never ends cannot be waited for;
        // the ports close with the process.
        if (stop_deadline > 0 && monotonic_seconds() > stop_deadline)
            break;
    }
    int stuck = !all_ended();
    if (!stuck)
        for (int i = 0; i < run.device_count; ++i)
            if (run.devices[i].thread_started)
                join_thread(&run.devices[i].thread);
    if (run.live)
        redraw();

    cli_lock();
    int stop = stop_requested();
    print_results(stop != 0);
    int status = EXIT_ALL_VERIFIED;
    for (int i = 0; i < run.device_count; ++i) {
        int s = result_exit_status(run.devices[i].result);
        if (s > status)
            status = s;
    }
    if (run.log != NULL)
        fclose(run.log);
    if (run.json != NULL && run.json != stdout)
        fclose(run.json);
    fflush(stdout);
    cli_unlock();
    return stop != 0 ? stop : status;
}

void print_version(const char *program)
{
    printf("%s %s (%s)\n", program, FWU_VERSION, platform_name());
    const unsigned char *bytes = NULL;
    int64_t len = 0;
    const char *why = "";
    if (find_embedded_image(&bytes, &len, &why) != 0) {
        printf("embedded image: none (%s)\n", why);
        return;
    }
    unsigned char *copy = NULL;
    int32_t padded = pad_bytes(bytes, len, &copy);
    if (padded < 0) {
        printf("embedded image: %lld bytes\n", (long long)len);
        return;
    }
    printf("embedded image: %lld bytes, padded to %ld (%ld blocks of %d), CRC-16 %#06x, "
           "written from %#010x\n",
           (long long)len, (long)padded, (long)(padded / BLOCK_SIZE), (int)BLOCK_SIZE,
           (unsigned)crc16(copy, padded), (unsigned)IMAGE_BASE);
    if (cli_embeds_sample())
        printf("embedded image: the bundled sample, not device firmware (update refuses it "
               "without --allow-sample)\n");
    printf("flash end (build default): %#010x\n", (unsigned)FWU_FLASH_END);
    // The padded copy was needed for its CRC only.
    free(copy);
}

int cli_main(int argc, char **argv, const char *program)
{
    CliOptions options;
    int parsed = parse_cli_options(argc, argv, program, &options);
    if (parsed == 1)
        return 0;
    if (parsed != 0)
        return parsed;
    if (options.command == CLI_LIST)
        return run_list(&options);
    if (options.command == CLI_IMAGE)
        return run_image(&options);
    return run_update(&options);
}
