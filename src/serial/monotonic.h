// The system's monotonic clock: the one clock of ours beside the engine's
// tick counter (protocol/clock.h). Serial reads time their intervals by it,
// and so do the command line's deadlines, the simulator's wire pacing and
// the testkit's waits.
#ifndef FWU_SERIAL_MONOTONIC_H
#define FWU_SERIAL_MONOTONIC_H

#include <stdint.h>

// Nanoseconds from an arbitrary origin; never goes back.
int64_t monotonic_ns(void);

// The same in milliseconds and in seconds, with fractions.
double monotonic_ms(void);
double monotonic_seconds(void);

#endif
