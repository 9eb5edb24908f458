// The results of `update PORT...`: each device's end in the JSON and log
// files, the live progress display, and the result lines and summary.
#include "shell/cli_update.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fwu_version.h"
#include "image/image_file.h"

// ---------------------------------------------------------------------------
// Results

void summarise(const Device *d, DeviceSummary *s)
{
    memset(s, 0, sizeof *s);
    s->port = d->given;
    s->path = d->path;
    s->result = d->result;
    s->reset_confirmed = d->reset_confirmed;
    s->image_name = run.facts.name;
    s->image_format = image_file_format_name(run.facts.format);
    s->image_sha256 = run.facts.sha256;
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
