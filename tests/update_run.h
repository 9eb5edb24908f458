// One whole update driven the way the shell drives it: the press sets the
// engine's state to Start, then the timer calls step_update, the next call
// coming SHELL_TICK_MS after the previous one ended. Shared by the
// end-to-end tests and the benchmark, which also wants to know when each
// state was first reached.
#ifndef FWU_TESTS_UPDATE_RUN_H
#define FWU_TESTS_UPDATE_RUN_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "protocol/engine.h"

enum { SHELL_TICK_MS = 10 };

struct UpdateRun {
    uint32_t final_state;
    uint32_t steps;
    double elapsed_ms;            // from the press to the end of the last step
    double reached_ms[Done + 1];  // first step end in each state; -1: never
    uint32_t reached_step[Done + 1];  // the count of steps by then
    std::vector<double> acks_ms;  // end of each step that took a block ack
};

// Milliseconds on the monotonic clock, with fractions.
double monotonic_ms(void);

// Presses "Update Device" on link (port, image and base already set) and
// steps until Done or Failed, or until limit_ms have passed. Returns the
// final state; fills *run when run is not null.
uint32_t run_update_as_shell(DeviceLink *link, uint32_t limit_ms, UpdateRun *run);

// size bytes of a pattern that varies with seed and position: a raw image
// for pad_image.
std::vector<unsigned char> test_pattern(size_t size, unsigned seed);

// The padded image link holds (after pad_image or load_image), as bytes.
std::vector<unsigned char> padded_bytes(const DeviceLink *link);

// Opens the port at path and configures it as the shell does. link has been
// through init_link and holds its image. Returns 0, or -1 when the port does
// not open (link->port stays invalid).
int open_line_for_update(DeviceLink *link, const char *path);

#endif
