// What the engine's files share: fresh bookkeeping, starting and writing a
// request, when it is resent, and reading its reply and noting its time. Not
// part of the engine's interface; nothing but src/protocol/engine*.cpp includes it.
#ifndef FWU_PROTOCOL_ENGINE_INTERNAL_H
#define FWU_PROTOCOL_ENGINE_INTERNAL_H

#include <stdint.h>

#include "protocol/engine.h"

// Empties the bookkeeping for a new update: running, nothing counted, no
// CRC from the device yet (engine_setup.cpp).
void fresh_bookkeeping(EngineBookkeeping *engine);

// ---------------------------------------------------------------------------
// Requests and replies (engine_wire.cpp)

// The start of every request's entry action, before its frame is built:
// with clear_stale, what waits on the line is cleared and counted (before
// the first reset request, until the line has been quiet for
// RESET_QUIET_MS: quiet_first); then send_time is now, and the request not
// yet resent.
void begin_request(DeviceLink *link, int quiet_first);

// Writes the request in the frame buffer, keeping its header for matching
// the reply.
void write_frame(DeviceLink *link);

// How old the outstanding request may get before it is resent (the
// settings' choice, resend_timer.h).
uint32_t resend_limit(const DeviceLink *link);

// An accepted answer to the outstanding request: its time noted for the
// stall limit, and, for a block or a block's CRC request sent only once, a
// sample of the device's turnaround for the resend timer.
void note_answer(DeviceLink *link);

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
