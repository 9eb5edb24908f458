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

// The end in words, into why ("" while running or when done cleanly).
static void end_words(const DeviceLink *link, char *why, size_t size)
{
    const EngineBookkeeping *e = &link->engine;
    const UpdateLimits *limits = &link->settings.limits;
    char limit[64];
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
        if (e->cause == CAUSE_NO_ANSWER) {
            limit_words(limit, sizeof limit, limits->first_answer_name, limits->first_answer_ms);
            snprintf(why, size, "no answer from the device within %s (plugged in and powered?)",
                     limit);
        } else {
            limit_words(limit, sizeof limit, limits->finish_name, limits->finish_ms);
            snprintf(why, size, "not finished within %s (%ld of %ld bytes)", limit,
                     (long)link->offset, (long)link->image_size);
        }
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
    uint32_t waited = now_ms(link) - link->send_time;
    uint32_t resend_at = link->state == AwaitResetAck ? (uint32_t)RESET_RETRY_MS : link->timeout_ms;
    int waiting = e->end == UPDATE_RUNNING && link->state != Start && link->state != Contact;
    outcome->reply_wait_ms = waiting ? waited : 0;
    outcome->resend_in_ms = waiting && waited < resend_at ? resend_at - waited : 0;
    end_words(link, outcome->why, sizeof outcome->why);
    return e->end;
}
