// The update engine: one firmware update, from the first contact with the
// boot loader to its reset, advanced one tick at a time.
//
//   Start -> Contact -> AwaitLink -> AwaitBlockAck (once per block)
//         -> AwaitVerify -> AwaitResetAck -> Done
//
// Failed is reached from AwaitVerify only, when the CRCs differ. Each waiting
// state resends its request when the reply is overdue; a reply is read once
// per tick.
//
// Conventions of the protocol layer: functions that can fail return 0 for
// success and -1 for failure (the frame builders); predicates return 1 or 0;
// the engine's steps return nothing, and how an update stands, with the
// reason as text, is told by update_outcome.
#ifndef FWU_PROTOCOL_ENGINE_H
#define FWU_PROTOCOL_ENGINE_H

#include <stdint.h>

#include "protocol/clock.h"
#include "protocol/frame.h"
#include "protocol/report.h"
#include "protocol/resend_timer.h"
#include "serial/serial.h"
#include "serial/transport.h"

enum UpdateState {
    Start = 0,
    Contact = 1,
    AwaitLink = 2,
    AwaitBlockAck = 3,
    AwaitVerify = 4,
    Failed = 5,
    AwaitResetAck = 6,
    Done = 7,
    // Verifying only (MODE_VERIFY, the command line): the region CRC of the
    // block at offset is outstanding.
    AwaitBlockCrc = 8,
    // How many states there are: a table with a row per state has this many.
    UPDATE_STATE_COUNT
};

// What an update does once linked.
enum UpdateMode {
    MODE_UPDATE = 0,  // write every block, verify the whole, reset
    MODE_VERIFY       // write nothing: ask the CRC of every block and of the whole;
                      // no reset
};

enum { DIFFER_RANGES_MAX = 16 };

// Blocks whose CRC on the device differs from the image's (MODE_VERIFY), as
// ranges of image offsets, [start, end).
struct DifferingBlocks {
    uint32_t blocks;                    // how many differ in all
    int32_t range_count;                // ranges kept (the first DIFFER_RANGES_MAX)
    int32_t start[DIFFER_RANGES_MAX];
    int32_t end[DIFFER_RANGES_MAX];
};

enum {
    REQUEST_HEAD_MAX = 11,  // unit, function, operation, address, length
    BLOCK_SIZE = 1024,
    IMAGE_BASE = 0x08004000,
    LINK_TIMEOUT_MS = 100,
    TRANSFER_TIMEOUT_MS = 5000,
    RESET_RETRY_MS = 100,
    PROBE_PAUSE_MS = 100,
    PROBE_REGION_BYTES = 4,  // the probe asks the CRC of the image's first bytes
    // With clear_stale: before the first reset request the line must have
    // been quiet this long (what arrives meanwhile is cleared), polled this
    // often, for at most RESET_QUIET_MAX_MS.
    RESET_QUIET_MS = 50,
    RESET_QUIET_POLL_MS = 2,
    RESET_QUIET_MAX_MS = 500
};

// What happened during one update, for its report.
struct UpdateTally {
    uint32_t resends;       // frames written again because the reply was overdue (once
                            // linked: the probes of the wait for a device do not count)
    uint32_t stale_replies; // replies to an earlier request, dropped (matched replies only)
    uint32_t stale_bytes;   // bytes waiting on the line before a request, cleared
                            // (clear_stale only)
    uint32_t blocks_acked;  // block requests acknowledged
    int32_t remote_crc;     // the device's CRC of the image region; -1: none yet
    uint16_t local_crc;     // the tool's CRC of what was verified (once it was): the padded
                            // image, or what MODE_VERIFY compares (image_own_size)
};

// How an update ended. Running until it has.
enum UpdateEnd {
    UPDATE_RUNNING = 0,
    UPDATE_DONE,       // verified (and reset, unless reset_confirmed says otherwise)
    UPDATE_FAILED,     // the device's CRC of the written region differs from the image's
    UPDATE_PORT_LOST,  // the device behind the line vanished before the image was verified
    UPDATE_DEADLINE,   // a limit of UpdateLimits passed
    UPDATE_STOPPED     // stop_update
};

// Why, within an end, for the words of the outcome.
enum UpdateEndCause {
    CAUSE_NONE = 0,
    CAUSE_NO_ANSWER,        // deadline: no first answer within first_answer_ms
    CAUSE_NOT_FINISHED,     // deadline: not ended within finish_ms
    CAUSE_STALLED,          // deadline: once linked, no accepted reply for stall_ms
    CAUSE_RESET_UNANSWERED, // done: the reset was resent for reset_for_ms, unacknowledged
    CAUSE_LOST_ON_RESET,    // done: the line vanished while the reset was outstanding
    CAUSE_RESET_UNCERTAIN,  // done: the reset's acknowledgement could be a late answer to
                            // an earlier request (a device that does not echo requests,
                            // after a resend)
    CAUSE_NOT_RESET         // done: verified and left in its boot loader, as asked
                            // (no_reset, or MODE_VERIFY)
};

// Limits a front end may set on an update; all zero (as init_link leaves
// them) means none: the first answer is waited for, and the reset resent,
// for as long as it takes, as the dialog does.
struct UpdateLimits {
    uint32_t first_answer_ms;       // 0: wait for the device's first answer for ever
    uint32_t finish_ms;             // 0: no overall deadline
    uint32_t reset_for_ms;          // 0: resend the reset until it is acknowledged
    // 0: once linked, wait for each answer for ever; else a device that gives
    // no accepted reply for this long has stopped answering (the reset, which
    // reset_for_ms bounds, aside)
    uint32_t stall_ms;
    const char *first_answer_name;  // how the front end names these limits in the
    const char *finish_name;        // outcome's words ("--wait"), or NULL
    const char *stall_name;
};

enum { OUTCOME_WHY_CAPACITY = 640, OUTSTANDING_CAPACITY = 48 };

// What the front ends report of an update, running or ended.
struct UpdateOutcome {
    UpdateEnd end;
    UpdateEndCause cause;
    int32_t reset_confirmed;  // done: the reset was acknowledged
    int32_t linked;           // the device has answered the contact probe
    int32_t offset;           // image bytes acknowledged
    int32_t image_size;       // padded
    UpdateTally tally;
    DifferingBlocks differing;  // MODE_VERIFY
    int32_t port_lost;        // the line vanished: the end is UPDATE_PORT_LOST, or done with
                              // the device gone on its reset (CAUSE_LOST_ON_RESET)
    uint32_t unanswered_ms;   // linked: how long since the device's last accepted reply
    // The request outstanding in words: "block 0x08004800", "the verify
    // request", "the reset", "the CRC request for block 0x08004800", "the
    // probe"; "" when none is.
    char outstanding[OUTSTANDING_CAPACITY];
    char why[OUTCOME_WHY_CAPACITY];  // the end in words; "" while running or when done cleanly
};

// How the timeout after which a request is resent is chosen.
enum UpdateResend {
    RESEND_AS_DIALOG = 0,   // LINK_TIMEOUT_MS, then TRANSFER_TIMEOUT_MS
    RESEND_FOLLOW_DEVICE,   // the resend timer, following the device's answer times
    RESEND_FIXED            // resend_after_ms
};

// What a front end chooses for its updates: filled before start_update and
// read by the engine, which never writes it. init_link sets the dialog's
// choices (each field's zero, the process-wide report); a front end that
// wants others writes them after init_link. Everything on the wire stays as
// the dialog has it unless a field here says otherwise.
struct UpdateSettings {
    const UpdateReport *report; // where status, trace and progress go
    UpdateLimits limits;        // none: wait and resend for as long as it takes
    // 1: a read ends as soon as a whole reply is in, and the next request
    // goes out at once (no pause after the probe): the same frames,
    // acceptance test, timeouts and resends as the dialog's.
    int32_t reply_complete;
    // 1 (with reply_complete): replies are matched to requests. The probe's
    // answer tells whether the device echoes a request's header (unit,
    // function, operation, address, length) in its reply; if it does, a
    // reply whose header is not the outstanding request's is a late answer
    // to an earlier one and is dropped, so it is never taken for the answer
    // to the current request. A device that does not echo keeps the
    // acceptance test as it is (the CRC alone), and its reset is confirmed
    // only when no request was resent before it.
    int32_t match_replies;
    UpdateMode mode;            // MODE_UPDATE unless the front end sets another
    int32_t no_reset;           // 1: a verified image is not followed by a reset
    // The image's own bytes from image[0], before its zero padding: what
    // MODE_VERIFY compares, block by block and as a whole (an image whose
    // flash after its end was left erased by another programmer matches).
    // 0: image_size, the padded image. MODE_UPDATE always verifies the
    // padded image it wrote.
    int32_t image_own_size;
    // 1: before each request, what already waits on the line is cleared and
    // counted (tally.stale_bytes), so that nothing sent before the request
    // is taken for its answer; before the first reset request the line must
    // also have been quiet for RESET_QUIET_MS.
    int32_t clear_stale;
    // When a block or a block's CRC request is resent, once linked to a
    // device that echoes (match_replies): after the dialog's timeout
    // (RESEND_AS_DIALOG), after the resend timer's timeout
    // (RESEND_FOLLOW_DEVICE, resend_timer.h), or after resend_after_ms
    // (RESEND_FIXED). Probes and the reset keep the dialog's 100 ms, the
    // verify request its 5 s, and a device that does not echo the dialog's
    // timeouts.
    UpdateResend resend;
    uint32_t resend_after_ms;
};

// The engine's own record of the update in progress, written by the engine
// alone and fresh at every start. Front ends learn what it holds from
// update_outcome.
struct EngineBookkeeping {
    UpdateEnd end;
    UpdateEndCause cause;
    uint32_t started_ms;        // the Start step
    int32_t linked;             // the device has answered the probe
    int32_t device_echoes;      // ... with the probe's own header (match_replies)
    unsigned char request_head[REQUEST_HEAD_MAX];  // the outstanding request's header
    int32_t request_head_len;
    int32_t reply_ended_read;   // the last read ended on an accepted reply
    int32_t resetting;          // the reset request has gone out ...
    uint32_t resetting_since_ms;    // ... first at this time,
    uint32_t resends_before_reset;  // ... when tally.resends was this
    uint32_t answered_ms;       // the device's last accepted reply (from the link on)
    int32_t request_len;        // bytes of the outstanding request
    int32_t request_resent;     // ... which has been sent more than once
    ResendTimer timer;          // the device's answer times (RESEND_FOLLOW_DEVICE)
    UpdateTally tally;
    DifferingBlocks differing;  // MODE_VERIFY
};

struct DeviceLink {
    const char *port_name;      // an entry of the port table
    PortHandle port;            // NO_PORT until the first open
    uint32_t baud;
    uint32_t unit_address;      // its low byte starts every request
    uint32_t read_capacity;     // bytes asked for by every read
    FrameBuffer frame;          // the request just built or the last read
    UpdateState state;
    const unsigned char *image; // the padded image
    uint32_t base;              // flash address of image[0]
    int32_t offset;             // bytes acknowledged so far
    int32_t image_size;         // padded size, a multiple of BLOCK_SIZE
    int32_t block_len;          // bytes in the block now outstanding
    uint32_t send_time;         // when the outstanding request was started
    uint32_t timeout_ms;        // age at which it is resent

    // How the engine reaches the line and the time: set by init_link to no
    // line and the system's clock; whoever opens a port sets line.
    Transport line;
    EngineClock clock;

    UpdateSettings settings;    // the front end's; the engine only reads them
    EngineBookkeeping engine;   // the engine's; the front ends only read update_outcome
};

// Start-up values, once for the life of the link and before the front end
// opens its port: read capacity, unit address, no port, no line, the
// system's clock, no image; the dialog's settings; fresh bookkeeping.
void init_link(DeviceLink *link);

// Begins an update from Start, its bookkeeping fresh (the next step resets
// the counters).
void start_update(DeviceLink *link);

// Performs the entry action of state s (usually writing one request) and
// makes s the current state.
void enter_state(DeviceLink *link, UpdateState s);

// One tick's work for the current state. Never re-entered. Once the update
// has ended it does nothing, until start_update begins another.
void step_update(DeviceLink *link);

// Ends a running update as stopped; the next step does nothing.
void stop_update(DeviceLink *link);

// What the probe between updates found.
enum ProbeAnswer {
    PROBE_SILENT = 0,  // no reply passed the acceptance test
    PROBE_ANSWERED,    // one did: a device in its boot loader is there
    PROBE_LINE_LOST    // the line vanished (adapter unplugged), whatever was read
};

// Between updates (the production line's slots): sends the contact probe
// once and reads for its answer (one read, as long as a read lasts).
// Nothing is traced; the update's state and bookkeeping are left alone.
ProbeAnswer probe_device(DeviceLink *link);

// What the question between updates found.
enum RegionCrcAnswer {
    REGION_CRC_SILENT = 0,  // no reply carrying a region CRC came within the wait
    REGION_CRC_ANSWERED,    // one did: the CRC is in *crc
    REGION_CRC_LINE_LOST    // the line vanished
};

// Between updates (the production line's slots): clears what waits on the
// line, asks the device for the CRC-16 of the image's region (base, the
// padded image_size) once, and reads for its answer for up to wait_ms. A
// reply that echoes the question's header is taken before any other.
// Nothing is traced; the update's state and bookkeeping are left alone.
RegionCrcAnswer ask_region_crc(DeviceLink *link, uint32_t wait_ms, uint16_t *crc);

// Whether the update has ended and how, with the counts the front ends
// report, into *outcome (when not NULL). Returns outcome's end.
UpdateEnd update_outcome(const DeviceLink *link, UpdateOutcome *outcome);

#endif
