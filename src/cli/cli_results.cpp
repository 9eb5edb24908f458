// The results of `update PORT...`: each device's end in the JSON and log
// files, the live progress display, and the result lines and summary.
#include "cli/cli_run.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli/cli_output.h"
#include "fwu_version.h"
#include "image/image_file.h"

// ---------------------------------------------------------------------------
// Results

// A device's JSON line at its longest: every byte of its texts (the port as
// given and opened, the image's name, the reason, the host, the adapter's
// serial number and by-id link) escaped as "\u00XX", and the rest.
static const size_t JSON_LINE_CAPACITY =
    6 * (3 * PORT_NAME_CAPACITY + CLI_PATH_CAPACITY + CLI_TEXT_CAPACITY +
         sizeof(((CliRun *)0)->host) + PORT_INFO_TEXT_CAPACITY) +
    4096;

int cli_result_exit_status(CliResult result)
{
    switch (result) {
    case CLI_RESULT_DONE:
        return CLI_EXIT_ALL_VERIFIED;
    case CLI_RESULT_FAILED:
        return CLI_EXIT_CRC_MISMATCH;
    case CLI_RESULT_PORT_LOST:
    case CLI_RESULT_OPEN_FAILED:
        return CLI_EXIT_PORT;
    case CLI_RESULT_TIMEOUT:
    case CLI_RESULT_STALLED:
        return CLI_EXIT_DEADLINE;
    case CLI_RESULT_MATCH:
    case CLI_RESULT_CURRENT:
        return CLI_EXIT_ALL_VERIFIED;
    case CLI_RESULT_MISMATCH:
        return CLI_EXIT_CRC_MISMATCH;
    case CLI_RESULT_STOPPED:
        return CLI_EXIT_INTERRUPTED;
    default:
        return CLI_EXIT_PORT;
    }
}

// A record of f lost for reason: said once on standard error.
static void record_lost(CliRun *run, FILE *f, const char *which, const char *reason)
{
    int *failed = f == run->json ? &run->json_failed : f == run->log ? &run->log_failed
                                                                      : &run->results_failed;
    if (!*failed) {
        fprintf(stderr, "%s: %s: cannot be written (%s): the records of this run are not all "
                        "there\n",
                run->program, which, reason);
        fflush(stderr);
    }
    *failed = 1;
}

int cli_write_record(CliRun *run, FILE *f, const char *which, const char *text)
{
    errno = 0;
    if (fputs(text, f) >= 0 && fflush(f) == 0)
        return 0;
    record_lost(run, f, which, cli_error_text(errno));
    clearerr(f);
    return -1;
}

void cli_summarise(const CliDevice *d, CliDeviceSummary *s)
{
    const CliRun *run = d->run;
    const ChosenImage *image = &run->image;
    const UpdateOutcome *outcome = &d->outcome;
    int verifying = d->link.settings.mode == MODE_VERIFY;
    memset(s, 0, sizeof *s);
    s->port = d->given;
    s->path = d->path;
    s->result = d->result;
    s->reset_confirmed = outcome->reset_confirmed;
    s->image_name = image->name;
    s->image_format = image_file_format_name(image->file.format);
    s->image_sha256 = image->file.sha256;
    s->image_size = image->file.size;
    s->padded_size = image->file.padded_size;
    s->image_crc = image->crc;
    s->device_crc = outcome->tally.remote_crc;
    s->bytes = verifying ? 0 : outcome->offset;  // verify writes nothing
    s->blocks = outcome->tally.blocks_acked;
    s->resends = outcome->tally.resends;
    s->stale_replies = outcome->tally.stale_replies;
    s->stale_bytes = outcome->tally.stale_bytes;
    s->differing = verifying ? &outcome->differing : NULL;
    s->base = IMAGE_BASE;
    if (run->options->continuous) {
        s->slot = (int)(d - run->devices) + 1;
        s->sequence = d->sequence;
    }
    s->seconds = d->ended - d->started;
    s->why = d->why;
    s->started_at = d->started_at;
    s->ended_at = d->ended_at;
    s->host = run->host;
    s->run_id = run->run_id;
    s->adapter_known = d->adapter_known;
    s->adapter_usb = d->adapter.usb;
    s->vid = d->adapter.vid;
    s->pid = d->adapter.pid;
    s->adapter_serial = d->adapter.serial;
    s->adapter_by_id = d->adapter.stable;
}

void cli_finish_device(CliDevice *d, CliResult result, const char *why)
{
    CliRun *run = d->run;
    cli_lock();
    d->result = result;
    d->ended = monotonic_seconds();
    cli_utc_timestamp(d->ended_at, sizeof d->ended_at);
    if (why != d->why)
        snprintf(d->why, sizeof d->why, "%s", why);
    CliDeviceSummary s;
    cli_summarise(d, &s);
    if (run->json != NULL) {
        static char text[JSON_LINE_CAPACITY];  // used under the lock only
        int len = cli_format_device_json(&s, FWU_VERSION, text, sizeof text - 1);
        if (len > 0) {
            text[len] = '\n';
            text[len + 1] = '\0';
            cli_write_record(run, run->json, run->json_label, text);
        } else {
            record_lost(run, run->json, run->json_label, "a device's record could not be made");
        }
    }
    if (run->log != NULL) {
        char line[CLI_TEXT_CAPACITY + 256];
        snprintf(line, sizeof line,
                 "%s %s RESULT %s reset_confirmed=%s bytes=%ld blocks=%u resends=%u "
                 "seconds=%.2f%s%s\n",
                 d->ended_at, d->given, cli_result_name(result),
                 s.reset_confirmed ? "true" : "false", (long)s.bytes, (unsigned)s.blocks,
                 (unsigned)s.resends, s.seconds,
                 why[0] == '\0'                                            ? ""
                 : result == CLI_RESULT_DONE || result == CLI_RESULT_CURRENT ? " note="
                                                                             : " why=",
                 why);
        cli_write_record(run, run->log, run->log_label, line);
    }
    cli_unlock();
}

int cli_all_ended(CliRun *run)
{
    cli_lock();
    int ended = 1;
    for (int i = 0; i < run->device_count; ++i)
        if (!run->devices[i].finished)
            ended = 0;
    cli_unlock();
    return ended;
}

// The name a row shows for d, at most room columns: as given when it fits;
// else the USB serial number, else the last part of the path; cut with
// "..." when even that does not fit.
static void short_name(const CliDevice *d, char *text, size_t size, int room)
{
    const char *name = d->given;
    if ((int)strlen(name) > room) {
        const char *slash = strrchr(name, '/');
        if (d->adapter_known && d->adapter.serial[0] != '\0')
            name = d->adapter.serial;
        else if (slash != NULL && slash[1] != '\0')
            name = slash + 1;
    }
    if ((int)strlen(name) <= room || room < 4)
        snprintf(text, size, "%.*s", room > 0 ? room : 0, name);
    else
        snprintf(text, size, "%.*s...", room - 3, name);
}

// One device's line of the live display, laid out for width columns (the
// redraw cuts it there). The name gives way first: the percent, blocks, rate
// and time left always show.
static void progress_line(const CliDevice *d, double now, char *text, size_t size, int width)
{
    int32_t padded_size = d->run->image.file.padded_size;
    int blocks_total = padded_size / BLOCK_SIZE;
    int blocks = (int)(d->offset / BLOCK_SIZE);
    int percent = padded_size > 0 ? (int)((int64_t)d->offset * 100 / padded_size) : 0;
    char middle[96];
    if (d->result != CLI_RESULT_RUNNING) {
        snprintf(middle, sizeof middle, "%s", cli_result_name(d->result));
    } else if (!d->linked) {
        snprintf(middle, sizeof middle, "waiting for the device (%.0f s)", now - d->started);
    } else if (d->outcome.unanswered_ms > CLI_LATE_REPLY_MS) {
        snprintf(middle, sizeof middle, "no answer for %u s, resending",
                 (unsigned)(d->outcome.unanswered_ms / 1000));
    } else {
        double seconds = now - d->linked_at;
        double rate = seconds > 0.2 ? d->offset / seconds : 0;
        if (rate > 0) {
            int left = (int)((padded_size - d->offset) / rate + 0.5);
            snprintf(middle, sizeof middle, "%5.1f KiB/s  %d:%02d left", rate / 1024, left / 60,
                     left % 60);
        } else {
            snprintf(middle, sizeof middle, "starting");
        }
    }
    char count[32];
    snprintf(count, sizeof count, "%d/%d", blocks, blocks_total);
    // "<name> 100%  1008/1008 blocks  <middle, 28>  <status>"
    const int fixed = 1 + 4 + 2 + 9 + 8 + 28 + 1;
    int room = width - 1 - fixed;
    if (room > CLI_NAME_COLUMN_MAX)
        room = CLI_NAME_COLUMN_MAX;
    if (room < CLI_NAME_COLUMN_MIN)
        room = CLI_NAME_COLUMN_MIN;
    char name[CLI_NAME_COLUMN_MAX + 1];
    short_name(d, name, sizeof name, room);
    snprintf(text, size, "%-*s %3d%%  %9s blocks  %-28s %s", room, name, percent, count, middle,
             d->status);
}

void cli_redraw_rows(CliRun *run, int rows, CliRowText row_text)
{
    double now = monotonic_seconds();
    int width = cli_stderr_columns();
    cli_lock();
    if (run->drawn > 0)
        fprintf(stderr, "\x1b[%dA", run->drawn);
    for (int i = 0; i < rows; ++i) {
        char text[512];
        row_text(run, i, now, width, text, sizeof text);
        if (width > 1 && (size_t)(width - 1) < sizeof text)
            text[width - 1] = '\0';
        fprintf(stderr, "\r\x1b[2K%s\n", text);
    }
    run->drawn = rows;
    fflush(stderr);
    cli_unlock();
}

static void progress_row(const CliRun *run, int row, double now, int width, char *text,
                         size_t size)
{
    progress_line(&run->devices[row], now, text, size, width);
}

void cli_redraw(CliRun *run)
{
    cli_redraw_rows(run, run->device_count, progress_row);
}

// The ranges of differing blocks in words: "0x08004400-0x080047ff, ...".
static void differing_words(const DifferingBlocks *d, char *text, size_t size)
{
    int len = 0;
    text[0] = '\0';
    for (int i = 0; i < d->range_count && len >= 0 && (size_t)len < size; ++i) {
        char range[32];
        cli_range_text(d, i, IMAGE_BASE, range, sizeof range);
        len += snprintf(text + len, size - (size_t)len, "%s%s", i > 0 ? ", " : "", range);
    }
    if (d->range_count == DIFFER_RANGES_MAX && len >= 0 && (size_t)len < size)
        snprintf(text + len, size - (size_t)len, ", ... (the first %d ranges)", DIFFER_RANGES_MAX);
}

// A device's result line: its end, how long it took, and its resends
// (standard output for done and match, standard error for the rest).
static void print_device_result(CliRun *run, const CliDevice *d)
{
    char line[CLI_TEXT_CAPACITY + 256];
    double seconds = d->ended > 0 ? d->ended - d->started : 0;
    char resends[48] = "";
    uint32_t n = d->outcome.tally.resends;
    if (n > 0)
        snprintf(resends, sizeof resends, " (%u resend%s)", (unsigned)n, n == 1 ? "" : "s");
    if (d->result == CLI_RESULT_MATCH) {
        if (!run->options->quiet) {
            snprintf(line, sizeof line,
                     "%s: match in %.1f s: every one of %ld blocks and the whole image "
                     "report the image's CRC (%#06x over its own %lld bytes); nothing "
                     "written%s\n",
                     d->given, seconds, (long)(run->image.file.padded_size / BLOCK_SIZE),
                     (unsigned)d->outcome.tally.local_crc, (long long)run->image.file.size,
                     resends);
            cli_write_record(run, run->results, "standard output", line);
        }
    } else if (d->result == CLI_RESULT_MISMATCH) {
        char ranges[DIFFER_RANGES_MAX * 26 + 64];
        differing_words(&d->outcome.differing, ranges, sizeof ranges);
        fprintf(stderr, "%s: %s: mismatch: %s%s%s%s\n", run->program, d->given, d->why,
                ranges[0] != '\0' ? "; differing: " : "", ranges, resends);
    } else if (d->result == CLI_RESULT_DONE) {
        if (!run->options->quiet) {
            snprintf(line, sizeof line,
                     "%s: done in %.1f s: %ld bytes in %u blocks, CRC %#06x verified%s%s\n",
                     d->given, seconds, (long)d->outcome.offset,
                     (unsigned)d->outcome.tally.blocks_acked, (unsigned)run->image.crc,
                     d->outcome.reset_confirmed ? ", reset" : "", resends);
            cli_write_record(run, run->results, "standard output", line);
        }
        if (d->why[0] != '\0')
            fprintf(stderr, "%s: %s: note: %s\n", run->program, d->given, d->why);
    } else {
        fprintf(stderr, "%s: %s: %s: %s%s\n", run->program, d->given,
                cli_result_name(d->result), d->why, resends);
    }
}

void cli_print_results(CliRun *run, int stopped)
{
    int counts[CLI_RESULT_KINDS] = {0};
    char line[CLI_TEXT_CAPACITY + 256];
    for (int i = 0; i < run->device_count; ++i) {
        CliDevice *d = &run->devices[i];
        if (d->result == CLI_RESULT_RUNNING) {
            d->result = CLI_RESULT_STOPPED;
            snprintf(d->why, sizeof d->why, "stopped by an interrupt");
        }
        counts[d->result]++;
        print_device_result(run, d);
    }
    int verifying = run->options->command == CLI_VERIFY;
    int len = snprintf(line, sizeof line, "%s: %d device%s: %d %s", run->program,
                       run->device_count, run->device_count == 1 ? "" : "s",
                       counts[verifying ? CLI_RESULT_MATCH : CLI_RESULT_DONE],
                       verifying ? "match" : "done");
    const CliResult order[] = {CLI_RESULT_MISMATCH,    CLI_RESULT_FAILED,  CLI_RESULT_PORT_LOST,
                               CLI_RESULT_OPEN_FAILED, CLI_RESULT_TIMEOUT, CLI_RESULT_STALLED,
                               CLI_RESULT_STOPPED};
    for (CliResult r : order)
        if (counts[r] > 0 && len >= 0 && (size_t)len < sizeof line)
            len += snprintf(line + len, sizeof line - (size_t)len, ", %d %s", counts[r],
                            cli_result_name(r));
    if (len >= 0 && (size_t)len < sizeof line)
        snprintf(line + len, sizeof line - (size_t)len, "%s\n", stopped ? " (interrupted)" : "");
    cli_write_record(run, run->results, "standard output", line);
}
