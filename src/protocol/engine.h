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
    PROBE_PAUSE_MS = 100
};

// What happened during one update, for its report.
struct UpdateTally {
    uint32_t resends;       // frames written again because the reply was overdue (once
                            // linked: the probes of the wait for a device do not count)
    uint32_t stale_replies; // replies to an earlier request, dropped (matched replies only)
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
    const char *first_answer_name;  // how the front end names these limits in the
    const char *finish_name;        // outcome's words ("--wait"), or NULL
};

enum { OUTCOME_WHY_CAPACITY = 640 };

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
    uint32_t reply_wait_ms;   // how long the outstanding request has waited for its reply
    uint32_t resend_in_ms;    // ... and how long until it is sent again
    char why[OUTCOME_WHY_CAPACITY];  // the end in words; "" while running or when done cleanly
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

// Whether the update has ended and how, with the counts the front ends
// report, into *outcome (when not NULL). Returns outcome's end.
UpdateEnd update_outcome(const DeviceLink *link, UpdateOutcome *outcome);

#endif
