// `update PORT...`: every port's update at once, each by its own engine on a
// thread of its own, with progress on standard error, a result per device,
// optional JSON Lines and log files, and an exit status for scripts.
#include "shell/cli.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fwu_version.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "serial/port_info.h"
#include "shell/cli_platform.h"

namespace {

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
    FILE *json;
    FILE *log;
    FILE *results;  // where result lines and the summary go
    int live;       // progress redrawn in place on a terminal
    int drawn;      // lines of it on the screen
    const char *program;
    int device_count;
    Device devices[CLI_MAX_PORTS];
};

UpdateRun run;

const char *const RESULT_NAMES[] = {"running", "done", "failed", "port-lost",
                                    "open-failed", "timeout", "stopped"};

// ---------------------------------------------------------------------------
// The sinks of each device's report

// One whole trace line: to standard output with --verbose, to the log.
void emit_trace_line(Device *d, const char *text, size_t len)
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

// ---------------------------------------------------------------------------
// One device

void finish(Device *d, int result, int reset_confirmed, const char *why);

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

// ---------------------------------------------------------------------------
// Results

void summarise(const Device *d, DeviceSummary *s)
{
    memset(s, 0, sizeof *s);
    s->port = d->given;
    s->path = d->path;
    s->result = d->result;
    s->reset_confirmed = d->reset_confirmed;
    s->image_size = run.image_size;
    s->padded_size = run.padded_size;
    s->image_crc = run.image_crc;
    s->device_crc = d->link.tally.remote_crc;
    s->bytes = d->link.offset;
    s->blocks = d->link.tally.blocks_acked;
    s->resends = d->link.tally.resends;
    s->seconds = d->ended - d->started;
    s->why = d->why;
}

void finish(Device *d, int result, int reset_confirmed, const char *why)
{
    cli_lock();
    d->result = result;
    d->reset_confirmed = reset_confirmed;
    d->ended = monotonic_seconds();
    snprintf(d->why, sizeof d->why, "%s", why);
    DeviceSummary s;
    summarise(d, &s);
    if (run.json != NULL) {
        char text[2048];
        if (format_device_json(&s, FWU_VERSION, text, sizeof text) > 0) {
            fprintf(run.json, "%s\n", text);
            fflush(run.json);
        }
    }
    if (run.log != NULL) {
        char stamp[40];
        utc_timestamp(stamp, sizeof stamp);
        fprintf(run.log,
                "%s %s RESULT %s reset_confirmed=%s bytes=%ld blocks=%u resends=%u "
                "seconds=%.2f%s%s\n",
                stamp, d->given, result_name(result), reset_confirmed ? "true" : "false",
                (long)s.bytes, (unsigned)s.blocks, (unsigned)s.resends, s.seconds,
                why[0] == '\0' ? "" : result == RESULT_DONE ? " note=" : " why=", why);
        fflush(run.log);
    }
    cli_unlock();
}

int all_ended(void)
{
    cli_lock();
    int ended = 1;
    for (int i = 0; i < run.device_count; ++i)
        if (run.devices[i].result == RESULT_RUNNING)
            ended = 0;
    cli_unlock();
    return ended;
}

// One device's line of the live display, cut to width columns.
void progress_line(const Device *d, double now, char *text, size_t size, int width)
{
    int blocks_total = run.padded_size / BLOCK_SIZE;
    int blocks = (int)(d->offset / BLOCK_SIZE);
    int percent = run.padded_size > 0 ? (int)((int64_t)d->offset * 100 / run.padded_size) : 0;
    char middle[96];
    if (d->result != RESULT_RUNNING) {
        snprintf(middle, sizeof middle, "%s", result_name(d->result));
    } else if (!d->linked) {
        snprintf(middle, sizeof middle, "waiting for the device (%.0f s)", now - d->started);
    } else {
        double seconds = now - d->linked_at;
        double rate = seconds > 0.2 ? d->offset / seconds : 0;
        if (rate > 0) {
            int left = (int)((run.padded_size - d->offset) / rate + 0.5);
            snprintf(middle, sizeof middle, "%5.1f KiB/s  %d:%02d left", rate / 1024, left / 60,
                     left % 60);
        } else {
            snprintf(middle, sizeof middle, "starting");
        }
    }
    char count[32];
    snprintf(count, sizeof count, "%d/%d", blocks, blocks_total);
    snprintf(text, size, "%-14s %3d%%  %9s blocks  %-26s %s", d->given, percent, count, middle,
             d->status);
    if (width > 1 && (size_t)(width - 1) < size)
        text[width - 1] = '\0';
}

void redraw(void)
{
    double now = monotonic_seconds();
    int width = stderr_columns();
    cli_lock();
    if (run.drawn > 0)
        fprintf(stderr, "\x1b[%dA", run.drawn);
    for (int i = 0; i < run.device_count; ++i) {
        char text[512];
        progress_line(&run.devices[i], now, text, sizeof text, width);
        fprintf(stderr, "\r\x1b[2K%s\n", text);
    }
    run.drawn = run.device_count;
    fflush(stderr);
    cli_unlock();
}

void print_results(int stopped)
{
    int counts[RESULT_STOPPED + 1] = {0};
    for (int i = 0; i < run.device_count; ++i) {
        Device *d = &run.devices[i];
        if (d->result == RESULT_RUNNING) {
            d->result = RESULT_STOPPED;
            snprintf(d->why, sizeof d->why, "stopped by an interrupt");
        }
        counts[d->result]++;
        double seconds = d->ended > 0 ? d->ended - d->started : 0;
        if (d->result == RESULT_DONE) {
            if (!run.options->quiet)
                fprintf(run.results,
                        "%s: done in %.1f s: %ld bytes in %u blocks, CRC %#06x verified%s\n",
                        d->given, seconds, (long)d->link.offset,
                        (unsigned)d->link.tally.blocks_acked, (unsigned)run.image_crc,
                        d->reset_confirmed ? ", reset" : "");
            if (d->why[0] != '\0')
                fprintf(stderr, "%s: %s: note: %s\n", run.program, d->given, d->why);
        } else {
            fprintf(stderr, "%s: %s: %s: %s\n", run.program, d->given, result_name(d->result), d->why);
        }
    }
    fprintf(run.results, "%s: %d device%s: %d done", run.program, run.device_count,
            run.device_count == 1 ? "" : "s", counts[RESULT_DONE]);
    const int order[] = {RESULT_FAILED, RESULT_PORT_LOST, RESULT_OPEN_FAILED, RESULT_TIMEOUT,
                         RESULT_STOPPED};
    for (int r : order)
        if (counts[r] > 0)
            fprintf(run.results, ", %d %s", counts[r], result_name(r));
    fprintf(run.results, "%s\n", stopped ? " (interrupted)" : "");
    fflush(run.results);
}

// ---------------------------------------------------------------------------
// Before any port is opened

// Reads the image file given with --image into a new buffer. Returns its
// length, or -1 with the reason printed.
int64_t read_image_file(const char *path, uint32_t window, unsigned char **bytes)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        fprintf(stderr, "%s: --image %s: cannot be read\n", run.program, path);
        return -1;
    }
    // One byte more than fits tells a file that is too large.
    unsigned char *buffer = (unsigned char *)malloc((size_t)window + 1);
    size_t n = buffer != NULL ? fread(buffer, 1, (size_t)window + 1, f) : 0;
    int failed = buffer == NULL || ferror(f);
    fclose(f);
    if (failed) {
        fprintf(stderr, "%s: --image %s: cannot be read\n", run.program, path);
        free(buffer);
        return -1;
    }
    if (n == 0) {
        fprintf(stderr, "%s: --image %s: the file is empty\n", run.program, path);
        free(buffer);
        return -1;
    }
    *bytes = buffer;
    return (int64_t)n;
}

// The image to write, padded, in run. Returns 0, or -1 with the reason printed.
int prepare_image(const CliOptions *o)
{
    uint32_t window = o->flash_end - (uint32_t)IMAGE_BASE;
    const unsigned char *bytes = NULL;
    unsigned char *file_bytes = NULL;
    int64_t len;
    if (o->image_path[0] != '\0') {
        len = read_image_file(o->image_path, window, &file_bytes);
        if (len < 0)
            return -1;
        bytes = file_bytes;
    } else {
        const char *why = "";
        if (find_embedded_image(&bytes, &len, &why) != 0) {
            fprintf(stderr, "%s: %s\n", run.program, why);
            return -1;
        }
    }
    int32_t padded = padded_image_size(len);
    if (padded < 0 || (uint32_t)padded > window) {
        fprintf(stderr,
                "%s: the image (%lld bytes, %ld padded to whole blocks) runs past the end of "
                "the flash: 0x%08x + %ld > --flash-end 0x%08x\n",
                run.program, (long long)len, (long)padded, (unsigned)IMAGE_BASE, (long)padded,
                (unsigned)o->flash_end);
        free(file_bytes);
        return -1;
    }
    static const UpdateReport silent = {NULL, NULL, NULL, NULL, NULL};
    DeviceLink padded_link;
    init_link(&padded_link);
    padded_link.report = &silent;
    if (pad_image(&padded_link, bytes, len) != 0) {
        fprintf(stderr, "%s: not enough memory for the image\n", run.program);
        free(file_bytes);
        return -1;
    }
    free(file_bytes);
    run.image = padded_link.image;
    run.padded_size = padded_link.image_size;
    run.image_size = len;
    run.image_crc = crc16(run.image, run.padded_size);
    return 0;
}

// What each PORT names. Returns 0, or -1 with the reason printed (a name
// that cannot be a port). An adapter asked for by serial number that is not
// there is the device's own failure, found when it would be opened.
int prepare_devices(const CliOptions *o)
{
    run.device_count = o->port_count;
    for (int i = 0; i < o->port_count; ++i) {
        Device *d = &run.devices[i];
        memset(d, 0, sizeof *d);
        snprintf(d->given, sizeof d->given, "%s", o->ports[i]);
        if (strncmp(d->given, "usb:", 4) == 0) {
            char serial[PORT_NAME_CAPACITY];
            snprintf(serial, sizeof serial, "%s", o->ports[i] + 4);
            int found = find_port_by_serial(serial, d->path, sizeof d->path);
            if (found == -1)
                snprintf(d->why, sizeof d->why,
                         "no USB adapter with serial number %s is plugged in", serial);
            else if (found != 0)
                snprintf(d->why, sizeof d->why,
                         "several USB adapters have serial number %s; name the port instead",
                         serial);
        } else if (port_open_name(d->given, d->path, sizeof d->path) != 0) {
            fprintf(stderr, "%s: not a serial port name: %s\n", run.program, d->given);
            return -1;
        }
        init_link(&d->link);
        d->report.status = device_status;
        d->report.trace = device_trace;
        d->report.progress = device_progress;
        d->report.context = d;
        d->link.report = &d->report;
        d->link.image = run.image;
        d->link.image_size = run.padded_size;
        d->link.base = IMAGE_BASE;
        use_reply_complete_reads(&d->link);
        d->result = RESULT_RUNNING;
    }
    // Two names for one port (COM7 and \\.\COM7) would fight over it.
    for (int i = 0; i < run.device_count; ++i)
        for (int j = 0; j < i; ++j)
            if (run.devices[i].path[0] != '\0' &&
                strcmp(run.devices[i].path, run.devices[j].path) == 0) {
                fprintf(stderr, "%s: %s and %s are the same port\n", run.program,
                        run.devices[j].given,
                        run.devices[i].given);
                return -1;
            }
    return 0;
}

FILE *open_append(const char *path, const char *what)
{
    FILE *f = fopen(path, "a");
    if (f == NULL)
        fprintf(stderr, "%s: %s %s: cannot be opened for appending\n", run.program, what,
                path);
    return f;
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
    static const UpdateReport silent = {NULL, NULL, NULL, NULL, NULL};
    DeviceLink link;
    init_link(&link);
    link.report = &silent;
    if (pad_image(&link, bytes, len) != 0) {
        printf("embedded image: %lld bytes\n", (long long)len);
        return;
    }
    printf("embedded image: %lld bytes, padded to %ld (%ld blocks of %d), CRC-16 %#06x, "
           "written from %#010x\n",
           (long long)len, (long)link.image_size, (long)(link.image_size / BLOCK_SIZE),
           (int)BLOCK_SIZE, (unsigned)crc16(link.image, link.image_size), (unsigned)IMAGE_BASE);
    printf("flash end (build default): %#010x\n", (unsigned)FWU_FLASH_END);
    // The padded copy was needed for its CRC only.
    free((void *)link.image);
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
    return run_update(&options);
}
