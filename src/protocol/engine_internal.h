// What the engine's files share: the time, fresh bookkeeping, writing a
// request and reading its reply. Not part of the engine's interface; nothing
// but src/protocol/engine*.cpp includes it.
#ifndef FWU_PROTOCOL_ENGINE_INTERNAL_H
#define FWU_PROTOCOL_ENGINE_INTERNAL_H

#include <stdint.h>

#include "protocol/engine.h"

// The time by the update's clock.
static inline uint32_t now_ms(const DeviceLink *link)
{
    return link->clock.now_ms(link->clock.context);
}

// Empties the bookkeeping for a new update: running, nothing counted, no
// CRC from the device yet (engine_setup.cpp).
void fresh_bookkeeping(EngineBookkeeping *engine);

// ---------------------------------------------------------------------------
// Requests and replies (engine_wire.cpp)

// Writes the request in the frame buffer, keeping its header for matching
// the reply.
void write_frame(DeviceLink *link);

// 1 when the len bytes of a reply begin with the outstanding request's
// header, as a device that echoes sends it.
int echoes_request(const DeviceLink *link, const unsigned char *reply, int32_t len);

// Reads whatever the device sent into the frame buffer, over the request;
// returns the bytes read.
int32_t read_frame(DeviceLink *link);

// With reads that end once a reply is in: drops the rest of the previous
// reply from the front of the bytes read, and notes whether this read ended
// on a reply.
void take_reply(DeviceLink *link);

// 1 when a reply was read and passed the acceptance test (and, with replies
// matched to requests, answers the one outstanding).
int read_reply(DeviceLink *link);

#endif
