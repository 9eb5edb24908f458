// What a front end calls around the engine's steps, apart from the outcome
// (engine_outcome.cpp): setting a link up once, starting an update with its
// bookkeeping fresh, and stopping one.
#include "protocol/engine.h"

#include <string.h>

#include "protocol/engine_internal.h"

// The dialog's settings: the process-wide report, no limits, reads paced as
// the dialog paces them, replies taken on their CRC alone, every block
// written and the device reset.
static void dialog_settings(UpdateSettings *settings)
{
    memset(settings, 0, sizeof *settings);
    settings->report = &PROCESS_REPORT;
    settings->mode = MODE_UPDATE;
}

void fresh_bookkeeping(EngineBookkeeping *engine)
{
    memset(engine, 0, sizeof *engine);
    engine->end = UPDATE_RUNNING;
    engine->cause = CAUSE_NONE;
    engine->tally.remote_crc = -1;
    resend_timer_start(&engine->timer);
}

void init_link(DeviceLink *link)
{
    link->read_capacity = FRAME_CAPACITY;
    link->unit_address = UNIT_ADDRESS;
    link->port = NO_PORT;
    link->line = no_transport();
    link->clock = system_clock();
    dialog_settings(&link->settings);
    fresh_bookkeeping(&link->engine);
}

void start_update(DeviceLink *link)
{
    link->state = Start;
    fresh_bookkeeping(&link->engine);
}

void stop_update(DeviceLink *link)
{
    if (link->engine.end == UPDATE_RUNNING) {
        link->engine.end = UPDATE_STOPPED;
        link->engine.cause = CAUSE_NONE;
    }
}
