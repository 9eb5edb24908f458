// What the files of fwu-devsim's I/O shell share: the one record of the
// running simulator, which main owns and hands to every function by
// pointer, and the pieces each file offers the others.
//   devsim_main_posix.cpp   the command line, setting up, the run's end
//   devsim_loop_posix.cpp   the wait-and-wake loop, signals, the final drain
//   devsim_wire_posix.cpp   the bytes at wire speed both ways, the replies' queue
//   devsim_clock_posix.cpp  the time since the start
//   devsim_dumps_posix.cpp  the devices' dumps, the -v lines of their changes
#ifndef FWU_DEVSIM_SHELL_H
#define FWU_DEVSIM_SHELL_H

#include <stddef.h>
#include <stdint.h>

#include "devsim_core.h"
#include "devsim_line.h"
#include "devsim_options.h"
#include "devsim_report.h"
#include "protocol/clock.h"
#include "serial/monotonic.h"

enum {
    DEVSIM_BITS_PER_BYTE = 11,  // start, 8 data, parity, stop
    DEVSIM_LINE_BAUD = 115200,
    DEVSIM_RX_RING_CAPACITY = 1 << 16,
    DEVSIM_TX_QUEUE_CAPACITY = 64,
    DEVSIM_TX_SLICE_BYTES = 16,    // at most ~1.5 ms of wire time per write
    DEVSIM_DRAIN_LIMIT_MS = 2000,  // how long a reset waits for its ack to be read
    DEVSIM_STUCK_PAUSE_MS = 10,
    DEVSIM_RX_STEP_MS = 2          // received bytes reach the device this often
};

const uint64_t DEVSIM_NS_PER_MS = 1000000ull;

struct DevsimRxByte {
    unsigned char byte;
    uint64_t due_ns;  // when its last bit has crossed the wire
};

struct DevsimOutgoing {
    DevsimReply reply;
    uint64_t ready_ns;  // when the device had the reply ready
};

// The one record of the running simulator. main keeps it in static storage
// for its size (the flash, the received bytes, the replies: a few MiB), and
// every function of the shell is handed it.
struct DevsimShell {
    DevsimOptions opt;
    Devsim dev;
    unsigned char preload[DEVSIM_APP_SIZE];  // the --flash-from file's bytes

    DevsimLine line;              // the pty master or the serial device

    uint64_t start_ns;
    uint64_t deadline_ns;         // 0: none
    uint64_t next_noise_ns;       // 0: none

    DevsimRxByte rx[DEVSIM_RX_RING_CAPACITY];  // ring of received bytes not yet due
    size_t rx_head;
    size_t rx_count;
    uint64_t rx_wire_end_ns;

    DevsimOutgoing queue[DEVSIM_TX_QUEUE_CAPACITY];
    int queue_head;
    int queue_count;
    uint32_t queue_overflows;

    int tx_active;                // the head reply is being sent
    int tx_chunk;
    int32_t tx_sent;              // bytes of the current chunk written
    uint64_t tx_chunk_start_ns;
    uint64_t line_free_ns;        // when our last byte has crossed the wire
    int tx_blocked;               // the last write would have blocked

    uint64_t rx_bytes;
    uint64_t tx_bytes;
    DevsimExitReason exit_reason;

    int name_devices;             // several devices: every line says which
    uint32_t dumped;              // devices 1..dumped have their dump written
    int dump_failed;
};

// The time since the start (monotonic_ns; devsim_clock_posix.cpp). Pauses
// are sleep_ms (protocol/clock.h), which signals do not cut short.
uint64_t devsim_now_ns(const DevsimShell *shell);

// Signals and the loop (devsim_loop_posix.cpp).
void devsim_install_signals(void);
void devsim_run(DevsimShell *shell);
// After the reset ack: wait until the far end has read it, so closing our
// end does not take it away unread (bounded, in case nobody reads).
void devsim_drain_line(const DevsimLine *line);

// The line's bytes (devsim_wire_posix.cpp).
void devsim_enqueue(DevsimShell *shell, const DevsimReply *reply, uint64_t ready_ns);
// Reads what has come in and stamps each byte with the time its last bit
// would have crossed a real wire (paced), or with its arrival (not paced).
void devsim_receive(DevsimShell *shell);
// Hands the device every byte whose time has come, and queues its replies.
void devsim_release_received(DevsimShell *shell, uint64_t now);
// When to hand the device more received bytes (rx_count > 0).
uint64_t devsim_next_release(const DevsimShell *shell, uint64_t now);
// Puts reply bytes on the line as their time comes. Returns the time of the
// next thing to do (0: nothing until more comes in).
uint64_t devsim_transmit(DevsimShell *shell, uint64_t now);

// The devices (devsim_dumps_posix.cpp).
// Writes the dump of device number (its flash as it is now), once.
void devsim_dump_device(DevsimShell *shell, uint32_t device);
// The device sequence's hook (its context: the shell): a device's dump as
// it leaves, and a line for each change in the -v log.
void devsim_on_device_change(const Devsim *dev, int change, uint64_t t_us, void *shell);

#endif
