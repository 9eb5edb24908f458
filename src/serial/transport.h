// The line as the update engine sees it: a table of operations and the
// context they act on, carried by every update. The serial layer fills one
// for a real port (serial_transport in serial/serial.h); a test or a fuzzer
// fills its own for a scripted device. The engine reaches the line only
// through this table.
//
// Conventions: reads and writes return the count of bytes moved, 0 when
// nothing moved or the call failed; a device that vanished is told by lost,
// which stays 1 once it is. The rest return nothing.
#ifndef FWU_SERIAL_TRANSPORT_H
#define FWU_SERIAL_TRANSPORT_H

#include <stdint.h>

// Says whether count bytes, as read so far, already make a whole reply.
typedef int (*ReplyCheck)(const unsigned char *bytes, int32_t count, void *context);

struct TransportOps {
    // Up to capacity bytes; returns once capacity bytes arrived, or the
    // line was quiet for the read interval between two bytes, or the read's
    // whole time passed.
    int32_t (*read)(void *context, unsigned char *buffer, uint32_t capacity);
    // As read, but its whole time is total_ms (READ_TOTAL_MS at most), and
    // it also ends as soon as is_whole (when not NULL) says the bytes so far
    // make a whole reply, or the device vanishes.
    int32_t (*read_until)(void *context, unsigned char *buffer, uint32_t capacity,
                          ReplyCheck is_whole, void *check_context, uint32_t total_ms);
    // All count bytes, waiting until the line has taken them.
    int32_t (*write)(void *context, const unsigned char *bytes, int32_t count);
    // Discards what waits in both directions.
    void (*purge)(void *context);
    // Discards the bytes received that wait to be read, without waiting for
    // more; returns how many there were.
    int32_t (*discard_input)(void *context);
    // Waits until written bytes have left.
    void (*flush)(void *context);
    // 1 once the device behind the line has vanished (unplugged, hung up).
    int (*lost)(void *context);
};

struct Transport {
    const TransportOps *ops;
    void *context;
};

// A line with nothing behind it: reads bring nothing, writes take nothing,
// and it is never lost. What an update holds before it has a port.
Transport no_transport(void);

#endif
