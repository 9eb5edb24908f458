// The boot loader as fwu-devsim plays it: a request parser, a 1 MiB flash,
// the replies, and the faults a test asks for. No I/O and no clock: the
// caller hands in each received byte with the time it finished arriving and
// plays the replies it gets back, so every behaviour here is testable byte
// for byte without a terminal.
//
// Framing. Requests are recognised by their layout: unit address 4, function
// 0x2B, then the operation decides the length (0xF5 program block: 11 + n
// bytes with n at bytes 7-8; 0xF6 region CRC: 13 bytes; 0xF7 reset: 5 bytes).
// A byte that cannot start a request is dropped as garbage. A frame whose CRC
// fails loses its first byte and the rest is scanned again, so a request
// that follows garbage is still found. A silence longer than gap_us inside a
// frame throws the partial frame away (the line's equivalent of Modbus RTU's
// 3.5-character rule, widened for ttys and USB adapters).
//
// Answers:
//   program block  11 bytes: the request's first 9 bytes echoed + CRC.
//   region CRC     15 bytes: the request's first 11 bytes echoed, the CRC-16
//                  of the region big-endian in bytes 11-12, frame CRC.
//   reset           5 bytes: the request echoed (04 2B F7 + CRC).
// Refused requests get no answer at all: a block whose bytes would reach
// into the boot loader (below DEVSIM_APP_BASE) or past the end of flash, a
// region that is not wholly inside flash, and a block length of 0 or above
// 1024 (that one never even frames). The tool counts any frame with a good
// CRC as an acknowledgement, so a refusal that answered would let it
// believe the block was written; silence makes it resend, which is the
// honest outcome.
//
// Flash. Programming a block replaces the bytes it covers (the boot loader
// erases what it rewrites), so a block written twice, as after a lost ack,
// leaves the same flash as a block written once. Reading a region's CRC is
// allowed anywhere in flash, boot loader area included (erased there too).
//
// Devices. The line may see several devices one after another, as on a
// production bench: device 1 is plugged in at time 0. Once a device's reset
// ack has left the line (devsim_reset_left) it runs its new firmware and
// answers nothing; swap_us later the operator has unplugged it and plugged
// in the next one, a fresh boot loader (erased flash, the preload, silent
// for silent_us again). A device the stays selector picks does not start
// its firmware: it answers as the boot loader, flash kept, for stay_us after
// its first reset, then it is unplugged and the next one follows swap_us
// later. The last device ends the sequence (devsim_ended) at its reset, or
// at the end of its stay; with keep_running it never leaves: its boot loader
// starts again after every reset, flash kept. Fault ordinals and the
// counters count over the whole run; each device's own counts are kept too.
#ifndef FWU_DEVSIM_CORE_H
#define FWU_DEVSIM_CORE_H

#include <stdint.h>

#include "protocol/frame.h"

enum {
    DEVSIM_FLASH_BASE = 0x08000000,
    DEVSIM_FLASH_SIZE = 1024 * 1024,
    DEVSIM_APP_BASE = 0x08004000,  // below: the boot loader, read-only
    DEVSIM_MAX_BLOCK = 1024,       // longest block a request may carry
    DEVSIM_RX_CAPACITY = FRAME_CAPACITY,
    DEVSIM_MAX_RULES = 32,
    DEVSIM_MAX_ITEMS = 16,         // items in one selector list
    DEVSIM_MAX_NOISE = 256,        // noise bytes before one reply
    DEVSIM_REPLY_CAPACITY = DEVSIM_MAX_NOISE + 32,
    DEVSIM_MAX_CHUNKS = 4,         // noise, first part, second part, an early reset ack
    DEVSIM_MAX_DEVICES = 1000,     // devices in one run
    DEVSIM_APP_SIZE = DEVSIM_FLASH_SIZE - (DEVSIM_APP_BASE - DEVSIM_FLASH_BASE)
};

// What a request (and so its reply) is.
enum DevsimKind {
    DevsimKindAny = 0,     // in a rule: every reply, counted together
    DevsimKindProbe = 1,   // region CRC of 4 bytes: the tool's contact probe
    DevsimKindBlock = 2,   // program block
    DevsimKindVerify = 3,  // region CRC of any other length: the verify request
    DevsimKindReset = 4,
    DEVSIM_KIND_COUNT = 5
};

enum DevsimFault {
    DevsimFaultDrop = 0,  // no reply at all (the request is carried out)
    DevsimFaultCorrupt,   // reply with its CRC low byte inverted
    DevsimFaultSplit,     // a silence of split_gap_ms inside the reply
    DevsimFaultLate,      // reply late_ms later than due
    DevsimFaultWrongCrc,  // region CRC reply carries a CRC that is off by one bit
    DevsimFaultShort,     // a 5-byte valid frame (header + CRC) instead of the reply
    DevsimFaultNoise,     // noise_bytes random bytes before the reply
    // after a verify reply, early_ack_ms later, a reset ack for a reset not
    // yet asked for; the device then answers no reset request and stays
    DevsimFaultEarlyResetAck,
    DEVSIM_FAULT_COUNT
};

enum DevsimSelectorType {
    DevsimSelNth = 0,  // the a-th
    DevsimSelRange,    // the a-th to the b-th
    DevsimSelFrom,     // the a-th and every later one
    DevsimSelAll,
    DevsimSelEvery,    // every a-th: a, 2a, 3a, ...
    DevsimSelPercent   // each with a chance of a percent, drawn from the seeded generator
};

struct DevsimSelectorItem {
    uint8_t type;   // DevsimSelectorType
    uint32_t a;
    uint32_t b;
};

// One fault applied to the replies that a selector picks. Ordinals count the
// replies of the rule's kind that the device has had to give (dropped ones
// included), from 1; DevsimKindAny counts all replies together.
struct DevsimFaultRule {
    uint8_t fault;  // DevsimFault
    uint8_t kind;   // DevsimKind
    int count;
    DevsimSelectorItem items[DEVSIM_MAX_ITEMS];
};

struct DevsimConfig {
    uint32_t flash_ms;       // programming time of a block before its ack
    uint32_t erase_ms;       // ... and the erase before the erase_block-th block request
    uint32_t erase_block;    // of each device (from 1)
    uint32_t mute_after;     // 0, or: each device answers nothing after its mute_after-th
                             // block request (the line stays open)
    uint32_t early_ack_ms;   // from a verify reply to a DevsimFaultEarlyResetAck's ack
    uint32_t late_ms;        // extra delay of a DevsimFaultLate reply
    uint32_t split_gap_ms;   // silence inside a DevsimFaultSplit reply
    int32_t split_at;        // bytes before that silence; <= 0: half the reply
    uint32_t noise_gap_ms;   // silence between noise and the reply after it
    int32_t noise_bytes;     // noise bytes before a DevsimFaultNoise reply (1..256)
    uint64_t silent_us;      // nothing is received before this time
    uint64_t gap_us;         // a longer silence inside a frame discards it
    uint64_t seed;
    int rule_count;
    DevsimFaultRule rules[DEVSIM_MAX_RULES];

    uint32_t devices;        // devices plugged in one after another (>= 1)
    uint64_t swap_us;        // from a device's leaving to the next one's plug-in
    uint64_t stay_us;        // how long a device that stays answers after its reset
    DevsimFaultRule stays;   // picks by device number (1-based) who stays; count 0: none
    int keep_running;        // the last device's boot loader restarts after a reset
    const unsigned char *preload;  // flash at DEVSIM_APP_BASE at every power-up, or null
    uint32_t preload_len;    // bytes of it (at most DEVSIM_APP_SIZE)
};

// Where the device on the line is in its life.
enum DevsimPhase {
    DevsimPhaseBootLoader = 0,  // answering as the boot loader, never reset yet (or keep_running)
    DevsimPhaseRunning,         // reset: runs its firmware, answers nothing
    DevsimPhaseStaying,         // reset, but still answering as the boot loader
    DevsimPhaseGone,            // unplugged after its stay; the next one not yet in
    DevsimPhaseNeverPlugged     // only in results: the run ended before its turn
};

// What devsim_advance and devsim_reset_left report through the on_change hook.
enum DevsimChange {
    DevsimChangeRunning = 0,  // the device runs its firmware (its reset ack has left)
    DevsimChangeStaying,      // the device stays in its boot loader after its reset
    DevsimChangeUnplugged,    // the device leaves the line; its flash is still there
    DevsimChangePlugged       // the next device is in (dev->device is its number)
};

// A stretch of the reply: delay_ms of silence, then len bytes from off.
struct DevsimChunk {
    uint32_t delay_ms;
    int32_t off;
    int32_t len;
};

// What to put on the line for one request. chunk_count 0: say nothing.
struct DevsimReply {
    uint8_t kind;         // DevsimKind of the request
    uint8_t refused;      // 1 when the request was refused (no reply)
    uint8_t ignored;      // 1 when it is heard and left unanswered (a reset after an early ack)
    uint8_t reset;        // 1 when the device resets once the reply has left
    uint32_t faults;      // bit (1 << DevsimFault) for each fault applied
    int32_t len;          // bytes in bytes[], noise included
    int chunk_count;
    DevsimChunk chunks[DEVSIM_MAX_CHUNKS];
    unsigned char bytes[DEVSIM_REPLY_CAPACITY];
};

struct DevsimCounters {
    uint32_t requests[DEVSIM_KIND_COUNT];  // good-CRC requests by kind ([0]: all)
    uint32_t replies[DEVSIM_KIND_COUNT];   // replies due by kind ([0]: all)
    uint32_t blocks_programmed;
    uint64_t bytes_programmed;
    uint32_t block_resends;          // a block at the address of the one before
    uint32_t crc_errors;             // frames that framed but failed their CRC
    uint32_t gap_discards;           // partial frames cut off by a silence
    uint64_t garbage_bytes;          // bytes dropped while looking for a frame
    uint64_t ignored_bytes;          // bytes received while silent or resetting
    uint32_t refused;
    uint32_t resets;                 // reset requests answered intact
    uint32_t faults[DEVSIM_FAULT_COUNT];
    uint32_t noise_bursts;           // spontaneous ones (devsim_noise)
    uint64_t noise_bytes;            // all noise sent, spontaneous or not
};

// One device's own share of the run.
struct DevsimDeviceResult {
    uint8_t phase;               // DevsimPhase when it left (or now)
    uint32_t programmed_size;    // as devsim_programmed_size
    DevsimCounters counters;     // what happened while it was on the line
};

struct Devsim;
typedef void (*DevsimChangeHook)(const Devsim *dev, int change, uint64_t t_us, void *context);

struct Devsim {
    DevsimConfig config;
    int faults_on;                   // 0: every rule is ignored
    int resetting;                   // a reset is acknowledged: deaf until it is done
    int resets_ignored;              // an early reset ack went out: no reset is answered
    uint64_t rng;
    unsigned char rx[DEVSIM_RX_CAPACITY];
    int32_t rx_len;
    uint64_t last_rx_us;
    uint32_t last_block_address;
    int have_last_block;
    uint64_t written_end;            // highest flash offset written + 1 (0: none)
    DevsimCounters counters;         // over the whole run

    uint32_t device;                 // the device on the line, from 1
    uint8_t phase;                   // its DevsimPhase
    int ended;                       // the last device has left: the run is over
    uint64_t listen_us;              // the device on the line hears from here on
    uint64_t phase_end_us;           // its stay, or the swap, ends here (Running, Staying, Gone)
    DevsimCounters plugged_counters; // counters when it was plugged in
    DevsimChangeHook on_change;      // null, or told about every change
    void *change_context;
    DevsimDeviceResult results[DEVSIM_MAX_DEVICES];  // devices that have left
    unsigned char flash[DEVSIM_FLASH_SIZE];
};

// Defaults: no faults, flash_ms 0, no erase time (erase_block 1), never
// mute, late_ms 5100, split 40 ms at half, noise 8 bytes with no gap, early
// reset acks 3 ms after the verify reply, not silent, gap 5 ms, seed 1.
void devsim_default_config(DevsimConfig *config);

// Device 1 on the line: erased flash (the preload at DEVSIM_APP_BASE), empty
// parser, zero counters, faults on, no hook. Keeps config.
void devsim_init(Devsim *dev, const DevsimConfig *config);

// One received byte that finished arriving at t_us (microseconds from the
// start, never decreasing); the device sequence is advanced to t_us first.
// Bytes before the device's power-up plus config.silent_us, from a clean
// reset ack until devsim_reset_left (or devsim_reset_done), once the device
// has fallen mute (config.mute_after), and while no boot loader is on the
// line, are ignored.
void devsim_push(Devsim *dev, unsigned char byte, uint64_t t_us);

// The reset acknowledged last has taken place: the boot loader listens
// again, with an empty receive buffer, flash kept. The device stays.
void devsim_reset_done(Devsim *dev);

// The reset ack has left the line at t_us: the device runs its firmware,
// stays (config.stays), or restarts its boot loader (the last one with
// keep_running); the last device that runs its firmware ends the run.
// Nothing when no reset is pending.
void devsim_reset_left(Devsim *dev, uint64_t t_us);

// Carries out the changes due by t_us: the end of a stay, the next device.
void devsim_advance(Devsim *dev, uint64_t t_us);

// 1 with *at_us set when a change is pending (an end of a stay or of a
// swap), 0 when nothing changes until a reset.
int devsim_next_change(const Devsim *dev, uint64_t *at_us);

// 1 when the last device has left the line.
int devsim_ended(const Devsim *dev);

// Device number's (1-based) share: stored for one that has left, live for
// the one on the line, zeros and DevsimPhaseNeverPlugged for a later one.
// Returns 0, or -1 for a number outside 1..config.devices.
int devsim_device_result(const Devsim *dev, uint32_t device, DevsimDeviceResult *out);

// Looks for the next complete request among the bytes pushed so far and
// carries it out. Returns 1 with *out filled (maybe with nothing to send)
// when one was handled, 0 when more bytes are needed.
int devsim_next(Devsim *dev, DevsimReply *out);

// Fills out with n (1..DEVSIM_MAX_NOISE) noise bytes from the seeded
// generator, as one chunk; counts a spontaneous burst. Returns 0, or -1 for a
// bad n.
int devsim_noise(Devsim *dev, int32_t n, DevsimReply *out);

// Flash access for dumps and tests. Returns 0, or -1 when the range is not
// wholly inside flash (out untouched).
int devsim_read_flash(const Devsim *dev, uint32_t address, uint32_t count,
                      unsigned char *out);

// Bytes written at DEVSIM_APP_BASE and above, from DEVSIM_APP_BASE up to
// the highest byte written (0 when nothing was).
uint32_t devsim_programmed_size(const Devsim *dev);

const char *devsim_kind_name(int kind);
const char *devsim_fault_name(int fault);
const char *devsim_phase_name(int phase);

#endif
