// A boot loader whose every answer is chosen by the fuzzer, and a clock that
// moves only when the fuzzer says so: a line table and a clock for the update
// engine, over one fuzz input, plus a log of what the engine did on the line
// during the current tick.
//
// Each read the engine makes takes one control byte from the input:
//
//   bits 0-3  what the device sends (ReplyKind below; 13-15 send nothing)
//   bits 4-6  how long the read takes: ELAPSED_MS[bits]
//   bit  7    then two more bytes (little-endian) add up to 65535 ms more
//
// followed by the bytes that kind needs. Bytes a read cannot take (beyond
// its capacity, or past a split point) stay on the line for the next read,
// as they would in the port's receive buffer, until a purge drops them.
#ifndef FWU_FUZZ_FUZZ_LINK_H
#define FWU_FUZZ_FUZZ_LINK_H

#include <stddef.h>
#include <stdint.h>

#include "fuzz_check.h"
#include "protocol/engine.h"

enum ReplyKind {
    REPLY_NOTHING = 0,
    REPLY_RAW = 1,            // n, then n bytes as they stand
    REPLY_SEALED = 2,         // n, then n bytes followed by their CRC
    REPLY_ACK = 3,            // a 4-byte frame with a good CRC
    REPLY_REGION_CRC = 4,     // hi, lo: a 15-byte region-CRC reply carrying them
    REPLY_GOOD_CRC = 5,       // a 15-byte region-CRC reply carrying the image's CRC
    REPLY_SPLIT_GOOD_CRC = 6, // k: the same, of which only k % 16 bytes arrive now
    REPLY_SPLIT_SEALED = 7,   // n, n bytes, k: a sealed frame cut after k % (n + 3) bytes
    REPLY_LONG_SEALED = 8,    // x: a sealed frame of 1024 + x bytes plus CRC
    REPLY_BAD_COUNT = 9,      // 4 bytes: read_port returns that count out of range, reads nothing
    REPLY_PRESS_BUTTON = 10,  // nothing; the operator presses "Update Device" after this tick
    REPLY_GOOD_CRC_LONG = 11, // n, n bytes: the image's CRC in a longer region-CRC reply
    REPLY_TWO_ACKS = 12,      // two good 4-byte frames in one read
    REPLY_KINDS = 13
};

// What a read leaves in the frame buffer beyond the bytes it returned.
enum StaleMode {
    STALE_KEEP = 0,    // whatever was there, as a real read does
    STALE_TEMPT = 1,   // a good region-CRC reply for the image, at its own positions
    STALE_FILL = 2,    // one byte chosen by the input, everywhere
    STALE_MODES = 3
};

enum {
    FUZZ_MAX_IMAGE = 4096,
    FUZZ_MAX_PENDING = 4 * FRAME_CAPACITY,
    // Largest request: a full block with its header and CRC.
    LARGEST_REQUEST = BLOCK_REQUEST_OVERHEAD + BLOCK_SIZE,
    STATUS_TEXT_LIMIT = 32
};

struct FuzzInput {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

// What the engine did on the link during one tick.
struct TickLog {
    int reads;
    int writes;
    int writes_before_read;   // requests written before the read: resends
    int purges;
    int flushes;
    int press_button;         // the operator presses the button after this tick
    int32_t returned;         // what read_port returned
    int32_t delivered_len;    // bytes actually placed in the buffer
    unsigned char delivered[FRAME_CAPACITY];
    // The program-block request outstanding when the read happened.
    int32_t read_block_offset;
    int32_t read_block_len;
};

struct FuzzLink {
    FuzzInput in;
    uint32_t now;
    const DeviceLink *link;       // the record under test, for bounds checks
    const unsigned char *image;
    int32_t image_size;
    uint16_t image_crc;
    int stale_mode;
    unsigned char stale_fill;
    unsigned char pending[FUZZ_MAX_PENDING];  // bytes on the line, not yet read
    int32_t pending_len;
    int32_t block_offset;         // last program-block request written
    int32_t block_len;
    TickLog tick;
};

extern FuzzLink fz;

// 0 and the next byte in *out, or -1 when the input is used up.
int take_byte(FuzzInput *in, unsigned char *out);
int input_used_up(const FuzzInput *in);

// Starts a run: the clock at start_ms, an empty line, no block written; the
// fuzzed line and clock become link's.
void fuzz_link_begin(DeviceLink *link, const unsigned char *image,
                     int32_t image_size, uint32_t start_ms, int stale_mode,
                     unsigned char stale_fill);

// Clears the tick log before a step.
void fuzz_tick_begin(void);

#endif
