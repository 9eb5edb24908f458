// The production line (`update --continuous PORT...`): every port is a
// slot that flashes device after device. A slot takes a device once it
// answers the probe and asks it for the CRC of the image's region: one that
// already holds the image is recorded as current and not written; any other
// is written, verified, reset and recorded. Then the slot waits until that
// device is gone: the probe unanswered for a second (unplugged, or running
// its new firmware), or answered by a device whose region CRC is neither the
// image's nor the last device's (the next one, plugged in at once). So no
// device is flashed twice. An adapter that is unplugged is waited for; the
// other slots never notice. (Its help and docs/cli.md call it the
// production bench.)
#include "cli/cli_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli/cli_platform.h"
#include "protocol/engine.h"
#include "serial/port_info.h"

enum {
    CLI_GONE_AFTER_MS = 1000,        // a device unanswering this long has gone
    CLI_STILL_THERE_PAUSE_MS = 200,  // between probes of a device that still answers
    CLI_ADAPTER_RETRY_MS = 1000,     // between looks for an unplugged adapter
    CLI_QUESTION_WAIT_MS = 1000      // for the answer to the region CRC question
};

// What a slot's look at its line found.
enum CliSlotLook {
    CLI_LOOK_GONE = 0,   // no answer for CLI_GONE_AFTER_MS: the device left
    CLI_LOOK_NEW,        // a device to write
    CLI_LOOK_CURRENT,    // a device that arrived holding the image
    CLI_LOOK_STOPPED,    // the slots were stopped
    CLI_LOOK_LINE_LOST   // the adapter went
};

static void set_state(CliDevice *d, CliSlotState state)
{
    cli_lock();
    d->slot_state = state;
    cli_unlock();
}

// The row's reason is a copy taken under the lock: the thread goes on
// writing why while it looks for the adapter again.
static void set_adapter_gone(CliDevice *d)
{
    cli_lock();
    d->slot_state = CLI_SLOT_ADAPTER_GONE;
    memcpy(d->gone_why, d->why, sizeof d->gone_why);
    cli_unlock();
}

// Sleeps about ms, in short pieces, until a stop is asked for.
static void pause_unless_stopped(uint32_t ms)
{
    for (uint32_t slept = 0; slept < ms && !cli_stop_requested(); slept += 50)
        cli_sleep_ms(ms - slept < 50 ? ms - slept : 50);
}

// Opens the slot's adapter: the same path, or the adapter with the same
// serial number wherever it is now. Returns 0, or -1 (d->why says why).
static int open_slot_port(CliDevice *d)
{
    d->why[0] = '\0';
    if (d->serial_wanted[0] != '\0') {
        SerialMatch found = find_port_by_serial(d->serial_wanted, d->path, sizeof d->path);
        if (found != SERIAL_FOUND) {
            snprintf(d->why, sizeof d->why, found == SERIAL_NONE
                                                ? "no USB adapter with serial number %s"
                                                : "several USB adapters have serial number %s",
                     d->serial_wanted);
            return -1;
        }
    }
    // The link keeps its report from the run's set-up and the last device.
    return cli_open_device(d);
}

// "waiting for device #N to be removed" on standard error when the wait
// begins and every CLI_REMOVAL_LINE_S, when standard error is a file.
static void say_removal_wait(CliDevice *d, double now, double *next_line)
{
    const CliRun *run = d->run;
    if (run->live || run->options->quiet || now < *next_line)
        return;
    cli_lock();
    fprintf(stderr, "%s: waiting for device #%ld to be removed\n", d->given, d->sequence);
    fflush(stderr);
    cli_unlock();
    *next_line = now + CLI_REMOVAL_LINE_S;
}

// After a device ended: waits until it is gone, or another answers in its
// place. A device that answers the probe is asked for the CRC of the
// image's region: the image's CRC, or the CRC the last device reported, is
// that device still there (or one already holding the image); any other is
// a new device.
static CliSlotLook wait_until_gone(CliDevice *d)
{
    int32_t last_crc = d->outcome.tally.remote_crc;
    double quiet_since = -1, next_line = 0;
    for (;;) {
        if (cli_stop_requested())
            return CLI_LOOK_STOPPED;
        say_removal_wait(d, monotonic_seconds(), &next_line);
        ProbeAnswer answer = probe_device(&d->link);
        if (answer == PROBE_LINE_LOST)
            return CLI_LOOK_LINE_LOST;
        double now = monotonic_seconds();
        if (answer == PROBE_ANSWERED) {
            quiet_since = -1;
            uint16_t crc = 0;
            RegionCrcAnswer asked = ask_region_crc(&d->link, CLI_QUESTION_WAIT_MS, &crc);
            if (asked == REGION_CRC_LINE_LOST)
                return CLI_LOOK_LINE_LOST;
            if (asked == REGION_CRC_ANSWERED && crc != d->run->image.crc &&
                (last_crc < 0 || crc != (uint16_t)last_crc))
                return CLI_LOOK_NEW;
            pause_unless_stopped(CLI_STILL_THERE_PAUSE_MS);
        } else if (quiet_since < 0) {
            quiet_since = now;
        } else if (now - quiet_since >= CLI_GONE_AFTER_MS / 1000.0) {
            return CLI_LOOK_GONE;
        }
    }
}

// Waits for a device to answer the probe, then asks it for the CRC of the
// image's region: the image's is a device that already holds it.
static CliSlotLook greet_device(CliDevice *d, uint16_t *crc)
{
    cli_lock();
    d->slot_state = CLI_SLOT_WAITING;
    d->linked = 0;  // the row says "waiting", not the last device's progress
    cli_unlock();
    for (;;) {
        if (cli_stop_requested())
            return CLI_LOOK_STOPPED;
        ProbeAnswer answer = probe_device(&d->link);
        if (answer == PROBE_LINE_LOST)
            return CLI_LOOK_LINE_LOST;
        if (answer != PROBE_ANSWERED)
            continue;
        RegionCrcAnswer asked = ask_region_crc(&d->link, CLI_QUESTION_WAIT_MS, crc);
        if (asked == REGION_CRC_LINE_LOST)
            return CLI_LOOK_LINE_LOST;
        // Unanswered, the question decides nothing: the device is written.
        return asked == REGION_CRC_ANSWERED && *crc == d->run->image.crc ? CLI_LOOK_CURRENT
                                                                          : CLI_LOOK_NEW;
    }
}

// The line a device leaves when standard error is no live display.
static void say_device_ended(CliDevice *d, CliResult result)
{
    const UpdateOutcome *outcome = &d->outcome;
    CliRun *run = d->run;
    if (run->live || run->options->quiet)
        return;
    char line[PORT_NAME_CAPACITY + CLI_TEXT_CAPACITY + 256];
    double seconds = d->ended - d->started;
    if (result == CLI_RESULT_DONE)
        snprintf(line, sizeof line,
                 "%s #%ld: done in %.1f s: %ld bytes, CRC %#06x verified%s%s%s\n", d->given,
                 d->sequence, seconds, (long)outcome->offset, (unsigned)run->image.crc,
                 outcome->reset_confirmed ? ", reset" : "", d->why[0] != '\0' ? "; " : "", d->why);
    else
        snprintf(line, sizeof line, "%s #%ld: %s: %s\n", d->given, d->sequence,
                 cli_result_name(result), d->why);
    cli_lock();
    cli_write_record(run, run->results, "standard output", line);
    cli_unlock();
}

// A device that ended (result, d->outcome) counted on the slot and recorded.
static void record_device(CliDevice *d, CliResult result)
{
    cli_lock();
    d->sequence++;
    if (result == CLI_RESULT_DONE)
        d->slot_done++;
    else if (result == CLI_RESULT_FAILED)
        d->slot_failed++;
    else if (result == CLI_RESULT_CURRENT)
        d->slot_current++;
    else
        d->slot_other++;
    int status = cli_result_exit_status(result);
    if (status > d->worst_status)
        d->worst_status = status;
    // A device's time counts from its first answer, not from the wait.
    d->started = d->linked_at;
    memcpy(d->started_at, d->linked_at_text, sizeof d->started_at);
    cli_unlock();
    cli_finish_device(d, result, d->outcome.why);
    say_device_ended(d, result);
}

// One device on the slot, from its first answer to its record. Returns
// how its update ended (d->outcome); with no device (stopped while waiting,
// or the adapter gone before any answered) nothing is recorded.
static const UpdateOutcome *take_device(CliDevice *d)
{
    set_state(d, CLI_SLOT_WAITING);
    cli_drive(d);
    cli_flush_trace_line(d);
    if (d->outcome.linked)
        record_device(d, cli_result_of(&d->outcome, d->link.settings.mode));
    return &d->outcome;
}

// A device that arrived holding the image (its region's CRC is crc):
// recorded as current, neither written nor reset.
static void take_current(CliDevice *d, uint16_t crc)
{
    UpdateOutcome *o = &d->outcome;
    cli_lock();
    memset(o, 0, sizeof *o);
    o->end = UPDATE_DONE;
    o->cause = CAUSE_NOT_RESET;
    o->linked = 1;
    o->image_size = d->run->image.file.padded_size;
    o->tally.remote_crc = crc;
    o->tally.local_crc = crc;
    snprintf(o->why, sizeof o->why,
             "the device already holds this image (CRC %#06x of its region); not written, "
             "not reset",
             (unsigned)crc);
    d->linked_at = monotonic_seconds();
    cli_utc_timestamp(d->linked_at_text, sizeof d->linked_at_text);
    d->offset = 0;
    cli_unlock();
    record_device(d, CLI_RESULT_CURRENT);
}

// The next device on the slot, as its last look found it: greeted first
// unless that look was already a new device's answer. Returns what happened
// to it: CLI_LOOK_NEW or CLI_LOOK_CURRENT once it is recorded, else why
// none was.
static CliSlotLook next_device(CliDevice *d, CliSlotLook look)
{
    uint16_t crc = 0;
    if (look != CLI_LOOK_NEW)
        look = greet_device(d, &crc);
    if (look == CLI_LOOK_CURRENT) {
        take_current(d, crc);
        return look;
    }
    if (look != CLI_LOOK_NEW)
        return look;
    const UpdateOutcome *outcome = take_device(d);
    if (outcome->end == UPDATE_STOPPED)
        return CLI_LOOK_STOPPED;
    // Gone with the adapter (or with a device that took its USB port along
    // on the reset).
    return outcome->port_lost ? CLI_LOOK_LINE_LOST : CLI_LOOK_NEW;
}

void cli_slot_main(void *argument)
{
    CliDevice *d = (CliDevice *)argument;
    const CliOptions *o = d->run->options;
    if (strncmp(d->given, "usb:", 4) == 0)
        snprintf(d->serial_wanted, sizeof d->serial_wanted, "%s", d->given + 4);
    CliSlotLook look = CLI_LOOK_GONE;
    while (!cli_stop_requested() && (o->count <= 0 || d->sequence < o->count)) {
        if (d->link.port == NO_PORT && open_slot_port(d) != 0) {
            set_adapter_gone(d);
            pause_unless_stopped(CLI_ADAPTER_RETRY_MS);
            continue;
        }
        look = next_device(d, look);
        if (look != CLI_LOOK_STOPPED && look != CLI_LOOK_LINE_LOST) {
            if (o->count > 0 && d->sequence >= o->count)
                break;  // its last device: no need to see it go
            set_state(d, CLI_SLOT_REMOVE);
            look = wait_until_gone(d);
        }
        if (look == CLI_LOOK_STOPPED)
            break;
        if (look == CLI_LOOK_LINE_LOST) {
            cli_close_device(d);
            set_adapter_gone(d);
        }
    }
    if (d->link.port != NO_PORT)
        cli_close_device(d);
    cli_lock();
    d->slot_state = CLI_SLOT_ENDED;
    d->finished = 1;
    cli_unlock();
}

// ---------------------------------------------------------------------------
// What the slots show

// A slot's state in words.
static void slot_words(const CliDevice *d, char *text, size_t size)
{
    const CliRun *run = d->run;
    switch (d->slot_state) {
    case CLI_SLOT_WAITING:
        snprintf(text, size, "waiting for a device");
        break;
    case CLI_SLOT_REMOVE:
        snprintf(text, size, "%s #%ld, remove it",
                 d->result == CLI_RESULT_DONE ? "done" : d->result == CLI_RESULT_FAILED
                                                         ? "FAILED"
                                                         : cli_result_name(d->result),
                 d->sequence);
        break;
    case CLI_SLOT_ADAPTER_GONE:
        snprintf(text, size, "adapter gone, waiting%s%.80s", d->gone_why[0] != '\0' ? ": " : "",
                 d->gone_why);
        break;
    case CLI_SLOT_ENDED:
        snprintf(text, size, "ended");
        break;
    }
    if (d->slot_state == CLI_SLOT_WAITING && d->linked) {
        int32_t padded_size = run->image.file.padded_size;
        int percent = padded_size > 0 ? (int)((int64_t)d->offset * 100 / padded_size) : 0;
        if (d->outcome.unanswered_ms > CLI_LATE_REPLY_MS)
            snprintf(text, size, "programming %d %%, no answer for %u s", percent,
                     (unsigned)(d->outcome.unanswered_ms / 1000));
        else
            snprintf(text, size, "programming %d %%", percent);
    }
}

// The totals: devices, their results, the yield (devices that hold the
// image now: done or current) and the rate.
static void totals_words(const CliRun *run, double now, char *text, size_t size)
{
    long devices = 0, done = 0, failed = 0, current = 0, other = 0;
    for (int i = 0; i < run->device_count; ++i) {
        devices += run->devices[i].sequence;
        done += run->devices[i].slot_done;
        failed += run->devices[i].slot_failed;
        current += run->devices[i].slot_current;
        other += run->devices[i].slot_other;
    }
    double hours = (now - run->started) / 3600;
    int len = snprintf(text, size, "total: %ld device%s, %ld done, %ld failed", devices,
                       devices == 1 ? "" : "s", done, failed);
    if (current > 0 && len >= 0 && (size_t)len < size)
        len += snprintf(text + len, size - (size_t)len, ", %ld current", current);
    if (other > 0 && len >= 0 && (size_t)len < size)
        len += snprintf(text + len, size - (size_t)len, ", %ld other", other);
    if (devices > 0 && len >= 0 && (size_t)len < size)
        len += snprintf(text + len, size - (size_t)len, "; yield %.1f %%",
                        100.0 * (double)(done + current) / (double)devices);
    if (devices > 0 && hours > 0 && len >= 0 && (size_t)len < size)
        snprintf(text + len, size - (size_t)len, "; %.0f devices/hour", (double)devices / hours);
}

// A slot's row, or (the row after the last slot) the totals.
static void slot_row(const CliRun *run, int row, double now, int, char *text, size_t size)
{
    if (row == run->device_count) {
        totals_words(run, now, text, size);
        return;
    }
    const CliDevice *d = &run->devices[row];
    char state[160] = "";
    slot_words(d, state, sizeof state);
    snprintf(text, size, "%-*.*s %-34s %ld done, %ld failed%s", CLI_NAME_COLUMN_MAX,
             CLI_NAME_COLUMN_MAX, d->given, state, d->slot_done, d->slot_failed,
             d->slot_other > 0 ? " (and others)" : "");
}

void cli_slots_redraw(CliRun *run)
{
    cli_redraw_rows(run, run->device_count + 1, slot_row);
}

int cli_print_slot_results(CliRun *run, int stopped)
{
    int status = CLI_EXIT_ALL_VERIFIED;
    char line[512];
    for (int i = 0; i < run->device_count; ++i) {
        const CliDevice *d = &run->devices[i];
        snprintf(line, sizeof line,
                 "%s: slot %d: %ld device%s, %ld done, %ld failed, %ld current, %ld other\n",
                 d->given, i + 1, d->sequence, d->sequence == 1 ? "" : "s", d->slot_done,
                 d->slot_failed, d->slot_current, d->slot_other);
        cli_write_record(run, run->results, "standard output", line);
        if (d->worst_status > status)
            status = d->worst_status;
    }
    char totals[256];
    totals_words(run, monotonic_seconds(), totals, sizeof totals);
    snprintf(line, sizeof line, "%s: %s%s\n", run->program, totals,
             stopped ? " (stopped)" : "");
    cli_write_record(run, run->results, "standard output", line);
    return status;
}
