// How an update stands or ended, as every front end learns it: the end and
// its cause, the counts, and the end in words with the limit that ended it.
#include "protocol/engine.h"

#include <stdio.h>
#include <string.h>

#include "protocol/engine_internal.h"

// A limit in seconds as the outcome says it, with its name when it has one:
// "--wait 2 s", or "2 s".
static void limit_words(char *text, size_t size, const char *name, uint32_t ms)
{
    snprintf(text, size, "%s%s%g s", name != NULL ? name : "", name != NULL ? " " : "",
             ms / 1000.0);
}

// A done update's note: "" when it was verified and its reset confirmed.
static void done_words(const DeviceLink *link, char *why, size_t size)
{
    const EngineBookkeeping *e = &link->engine;
    char limit[64];
    if (e->cause == CAUSE_LOST_ON_RESET) {
        snprintf(why, size,
                 "the port went away after the reset request (the device reset and took its "
                 "port with it?); the image is verified");
    } else if (e->cause == CAUSE_NOT_RESET && link->settings.mode == MODE_UPDATE) {
        snprintf(why, size, "not reset, as asked: the device stays in its boot loader");
    } else if (e->cause == CAUSE_RESET_UNCERTAIN) {
        snprintf(why, size,
                 "the acknowledgement of the reset may be a late answer to an earlier "
                 "request (a request was resent, and the device does not echo requests); "
                 "the image is verified");
    } else if (e->cause == CAUSE_RESET_UNANSWERED) {
        limit_words(limit, sizeof limit, NULL, link->settings.limits.reset_for_ms);
        snprintf(why, size,
                 "the device did not acknowledge the reset within %s; the image is verified",
                 limit);
    }
}

// The request of the current state in words, into text ("" for none).
static void outstanding_words(const DeviceLink *link, char *text, size_t size)
{
    unsigned address = (unsigned)(link->base + (uint32_t)link->offset);
    text[0] = '\0';
    switch (link->state) {
    case AwaitLink:
        snprintf(text, size, "the probe");
        break;
    case AwaitBlockAck:
        snprintf(text, size, "block %#010x", address);
        break;
    case AwaitBlockCrc:
        snprintf(text, size, "the CRC request for block %#010x", address);
        break;
    case AwaitVerify:
        snprintf(text, size, "the verify request");
        break;
    case AwaitResetAck:
        snprintf(text, size, "the reset");
        break;
    default:
        break;
    }
}

// A deadline's end in words.
static void deadline_words(const DeviceLink *link, char *why, size_t size)
{
    const UpdateLimits *limits = &link->settings.limits;
    char limit[64];
    switch (link->engine.cause) {
    case CAUSE_NO_ANSWER:
        limit_words(limit, sizeof limit, limits->first_answer_name, limits->first_answer_ms);
        snprintf(why, size, "no answer from the device within %s (plugged in and powered?)",
                 limit);
        break;
    case CAUSE_STALLED: {
        char request[OUTSTANDING_CAPACITY];
        outstanding_words(link, request, sizeof request);
        limit_words(limit, sizeof limit, limits->stall_name, limits->stall_ms);
        snprintf(why, size,
                 "stopped answering: no answer from the device for %s, at %ld of %ld bytes "
                 "(%s unanswered)",
                 limit, (long)link->offset, (long)link->image_size, request);
        break;
    }
    default:
        limit_words(limit, sizeof limit, limits->finish_name, limits->finish_ms);
        snprintf(why, size, "not finished within %s (%ld of %ld bytes)", limit,
                 (long)link->offset, (long)link->image_size);
        break;
    }
}

// The end in words, into why ("" while running or when done cleanly).
static void end_words(const DeviceLink *link, char *why, size_t size)
{
    const EngineBookkeeping *e = &link->engine;
    why[0] = '\0';
    switch (e->end) {
    case UPDATE_DONE:
        done_words(link, why, size);
        break;
    case UPDATE_FAILED:
        if (link->settings.mode == MODE_VERIFY)
            snprintf(why, size,
                     "the device's flash differs from the image: %lu of %ld blocks differ, CRC "
                     "%#06x of the whole against the image's %#06x",
                     (unsigned long)e->differing.blocks,
                     (long)((link->image_size + BLOCK_SIZE - 1) / BLOCK_SIZE),
                     (unsigned)e->tally.remote_crc, (unsigned)e->tally.local_crc);
        else
            snprintf(why, size,
                     "the device reported CRC %#06x for the written image, whose CRC is %#06x; "
                     "it was not reset",
                     (unsigned)e->tally.remote_crc, (unsigned)e->tally.local_crc);
        break;
    case UPDATE_PORT_LOST:
        snprintf(why, size, "the port went away after %ld of %ld bytes (adapter unplugged?)",
                 (long)link->offset, (long)link->image_size);
        break;
    case UPDATE_DEADLINE:
        deadline_words(link, why, size);
        break;
    case UPDATE_STOPPED:
        snprintf(why, size, "stopped by an interrupt");
        break;
    case UPDATE_RUNNING:
        break;
    }
}

UpdateEnd update_outcome(const DeviceLink *link, UpdateOutcome *outcome)
{
    const EngineBookkeeping *e = &link->engine;
    if (outcome == NULL)
        return e->end;
    outcome->end = e->end;
    outcome->cause = e->cause;
    outcome->reset_confirmed = e->end == UPDATE_DONE && e->cause == CAUSE_NONE;
    outcome->linked = e->linked;
    outcome->port_lost =
        e->end == UPDATE_PORT_LOST || (e->end == UPDATE_DONE && e->cause == CAUSE_LOST_ON_RESET);
    outcome->offset = link->offset;
    outcome->image_size = link->image_size;
    outcome->tally = e->tally;
    outcome->differing = e->differing;
    int waiting = e->end == UPDATE_RUNNING && link->state != Start && link->state != Contact;
    outcome->unanswered_ms =
        waiting && e->linked ? clock_now(&link->clock) - e->answered_ms : 0;
    outcome->outstanding[0] = '\0';
    if (waiting)
        outstanding_words(link, outcome->outstanding, sizeof outcome->outstanding);
    end_words(link, outcome->why, sizeof outcome->why);
    return e->end;
}
