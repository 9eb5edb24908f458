// The update engine: one firmware update, from the first contact with the
// boot loader to its reset, advanced one tick at a time.
//
//   Start -> Contact -> AwaitLink -> AwaitBlockAck (once per block)
//         -> AwaitVerify -> AwaitResetAck -> Done
//
// Failed is reached from AwaitVerify only, when the CRCs differ. Each waiting
// state resends its request when the reply is overdue; a reply is read once
// per tick.
#ifndef FWU_PROTOCOL_ENGINE_H
#define FWU_PROTOCOL_ENGINE_H

#include <stdint.h>

#include "protocol/frame.h"
#include "protocol/report.h"
#include "serial/serial.h"

enum UpdateState {
    Start = 0,
    Contact = 1,
    AwaitLink = 2,
    AwaitBlockAck = 3,
    AwaitVerify = 4,
    Failed = 5,
    AwaitResetAck = 6,
    Done = 7
};

enum {
    BLOCK_SIZE = 1024,
    IMAGE_BASE = 0x08004000,
    LINK_TIMEOUT_MS = 100,
    TRANSFER_TIMEOUT_MS = 5000,
    RESET_RETRY_MS = 100,
    PROBE_PAUSE_MS = 100
};

// What happened during one update, for its report.
struct UpdateTally {
    uint32_t resends;       // frames written again because the reply was overdue
    uint32_t blocks_acked;  // block requests acknowledged
    int32_t remote_crc;     // the device's CRC of the image region; -1: none yet
    uint16_t local_crc;     // the tool's CRC of the padded image (once verified)
};

struct DeviceLink {
    const char *port_name;      // an entry of the port table
    PortHandle port;            // NO_PORT until the first open
    uint32_t baud;
    uint32_t unit_address;      // its low byte starts every request
    uint32_t read_capacity;     // bytes asked for by every read
    FrameBuffer frame;          // the request just built or the last read
    uint32_t state;             // an UpdateState
    const unsigned char *image; // the padded image
    uint32_t base;              // flash address of image[0]
    int32_t offset;             // bytes acknowledged so far
    int32_t image_size;         // padded size, a multiple of BLOCK_SIZE
    int32_t block_len;          // bytes in the block now outstanding
    uint32_t send_time;         // when the outstanding request was started
    uint32_t timeout_ms;        // age at which it is resent

    // Beyond the dialog's needs: what the command line sets and reads.
    const UpdateReport *report; // where status, trace and progress go
    int32_t reply_complete;     // 1: a read ends once a whole reply is in
    int32_t port_gone;          // the system reported the device gone
    int32_t reply_ended_read;   // the last read ended on an accepted reply
    UpdateTally tally;
};

// Start-up values: read capacity, unit address, no port, no image; the
// process-wide report, reads paced as the dialog paces them, an empty tally.
void init_link(DeviceLink *link);

// Sets link up for the command line: reads end as soon as a whole reply is
// in, the next request goes out at once, a vanished device is noted in
// port_gone. Everything on the wire stays as the dialog has it: the same
// frames, acceptance test, timeouts and resends.
void use_reply_complete_reads(DeviceLink *link);

// Performs the entry action of state s (usually writing one request) and
// makes s the current state.
void enter_state(DeviceLink *link, uint32_t s);

// One tick's work for the current state. Never re-entered.
void step_update(DeviceLink *link);

#endif
