// What the front ends call around the engine's steps: setting a link up,
// starting and stopping an update, and how it stands or ended (the outcome,
// with its reason in words and the limits that ended it).
#include "protocol/engine.h"

#include <stdio.h>
#include <string.h>

#include "protocol/engine_internal.h"

void init_link(DeviceLink *link)
{
    link->read_capacity = FRAME_CAPACITY;
    link->unit_address = UNIT_ADDRESS;
    link->port = NO_PORT;
    link->line = no_transport();
    link->clock = system_clock();
    link->report = &PROCESS_REPORT;
    memset(&link->limits, 0, sizeof link->limits);
    link->reply_complete = 0;
    link->reply_ended_read = 0;
    link->match_replies = 0;
    link->device_echoes = 0;
    link->request_head_len = 0;
    link->resends_before_reset = 0;
    link->mode = MODE_UPDATE;
    link->no_reset = 0;
    memset(&link->differing, 0, sizeof link->differing);
    memset(&link->tally, 0, sizeof link->tally);
    link->tally.remote_crc = -1;
    link->end = UPDATE_RUNNING;
    link->cause = CAUSE_NONE;
    link->linked = 0;
    link->started_ms = 0;
    link->resetting_since_ms = 0;
    link->resetting = 0;
}

void use_reply_complete_reads(DeviceLink *link)
{
    link->reply_complete = 1;
}

void use_reply_matching(DeviceLink *link)
{
    link->match_replies = 1;
}

void start_update(DeviceLink *link)
{
    link->state = Start;
    link->end = UPDATE_RUNNING;
    link->cause = CAUSE_NONE;
}

void stop_update(DeviceLink *link)
{
    if (link->end == UPDATE_RUNNING) {
        link->end = UPDATE_STOPPED;
        link->cause = CAUSE_NONE;
    }
}

// A limit in seconds as the outcome says it, with its name when it has one:
// "--wait 2 s", or "2 s".
static void limit_words(char *text, size_t size, const char *name, uint32_t ms)
{
    snprintf(text, size, "%s%s%g s", name != NULL ? name : "", name != NULL ? " " : "",
             ms / 1000.0);
}

UpdateEnd update_outcome(const DeviceLink *link, UpdateOutcome *outcome)
{
    if (outcome == NULL)
        return link->end;
    outcome->end = link->end;
    outcome->cause = link->cause;
    outcome->reset_confirmed = link->end == UPDATE_DONE && link->cause == CAUSE_NONE;
    outcome->linked = link->linked;
    outcome->offset = link->offset;
    outcome->image_size = link->image_size;
    outcome->tally = link->tally;
    outcome->differing = link->differing;
    uint32_t waited = now_ms(link) - link->send_time;
    uint32_t resend_at = link->state == AwaitResetAck ? (uint32_t)RESET_RETRY_MS : link->timeout_ms;
    int waiting = link->end == UPDATE_RUNNING && link->state != Start && link->state != Contact;
    outcome->reply_wait_ms = waiting ? waited : 0;
    outcome->resend_in_ms = waiting && waited < resend_at ? resend_at - waited : 0;
    char *why = outcome->why;
    size_t size = sizeof outcome->why;
    char limit[64];
    why[0] = '\0';
    switch (link->end) {
    case UPDATE_DONE:
        if (link->cause == CAUSE_LOST_ON_RESET) {
            snprintf(why, size,
                     "the port went away after the reset request (the device reset and took its "
                     "port with it?); the image is verified");
        } else if (link->cause == CAUSE_NOT_RESET && link->mode == MODE_UPDATE) {
            snprintf(why, size, "not reset, as asked: the device stays in its boot loader");
        } else if (link->cause == CAUSE_RESET_UNCERTAIN) {
            snprintf(why, size,
                     "the acknowledgement of the reset may be a late answer to an earlier "
                     "request (a request was resent, and the device does not echo requests); "
                     "the image is verified");
        } else if (link->cause == CAUSE_RESET_UNANSWERED) {
            limit_words(limit, sizeof limit, NULL, link->limits.reset_for_ms);
            snprintf(why, size,
                     "the device did not acknowledge the reset within %s; the image is verified",
                     limit);
        }
        break;
    case UPDATE_FAILED:
        if (link->mode == MODE_VERIFY)
            snprintf(why, size,
                     "the device's flash differs from the image: %lu of %ld blocks differ, CRC "
                     "%#06x of the whole against the image's %#06x",
                     (unsigned long)link->differing.blocks,
                     (long)((link->image_size + BLOCK_SIZE - 1) / BLOCK_SIZE),
                     (unsigned)link->tally.remote_crc, (unsigned)link->tally.local_crc);
        else
            snprintf(why, size,
                     "the device reported CRC %#06x for the written image, whose CRC is %#06x; "
                     "it was not reset",
                     (unsigned)link->tally.remote_crc, (unsigned)link->tally.local_crc);
        break;
    case UPDATE_PORT_LOST:
        snprintf(why, size, "the port went away after %ld of %ld bytes (adapter unplugged?)",
                 (long)link->offset, (long)link->image_size);
        break;
    case UPDATE_DEADLINE:
        if (link->cause == CAUSE_NO_ANSWER) {
            limit_words(limit, sizeof limit, link->limits.first_answer_name,
                        link->limits.first_answer_ms);
            snprintf(why, size, "no answer from the device within %s (plugged in and powered?)",
                     limit);
        } else {
            limit_words(limit, sizeof limit, link->limits.finish_name, link->limits.finish_ms);
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
    return link->end;
}
