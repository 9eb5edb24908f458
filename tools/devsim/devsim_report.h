// What fwu-devsim leaves behind when it ends (devsim_report.cpp).
#ifndef FWU_DEVSIM_REPORT_H
#define FWU_DEVSIM_REPORT_H

#include <stdint.h>

#include "devsim_core.h"

enum DevsimExitReason {
    DevsimStillRunning = 0,
    DevsimExitReset,
    DevsimExitSeconds,
    DevsimExitSignal,
    DevsimExitLineLost
};

// How the run ended, beside what the device counted.
struct DevsimEnd {
    DevsimExitReason reason;
    uint64_t rx_bytes, tx_bytes;
    uint32_t reply_overflows;
    uint64_t elapsed_ms;
};

// The application area of the device on the line (dump_size bytes, or as
// far as it was programmed or preloaded when negative) into path. 0, or -1
// with a line on stderr.
int devsim_write_dump(const Devsim *dev, const char *path, int64_t dump_size);

// The same for a device never plugged in: its flash as it would have come
// up (the preload, the rest erased).
int devsim_write_fresh_dump(const DevsimConfig *config, const char *path, int64_t dump_size);

// The summary on standard output: one line of totals, after a line for each
// device when there are several.
void devsim_print_summary(const Devsim *dev, const DevsimEnd *end);

// The totals and a "devices" array of each device's share as one JSON
// object in path. 0, or -1.
int devsim_write_summary_json(const Devsim *dev, const DevsimEnd *end, const char *path);

#endif
