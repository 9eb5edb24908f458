// Time as the update engine sees it: a millisecond tick counter that wraps
// at 2^32 like the system's, and a blocking pause. One implementation file
// per platform; the engine tests link a scripted clock instead.
#ifndef FWU_PROTOCOL_CLOCK_H
#define FWU_PROTOCOL_CLOCK_H

#include <stdint.h>

// Milliseconds from an arbitrary origin; elapsed time is the unsigned
// difference now - then, which stays right across the wrap.
uint32_t tick_count(void);

// Blocks the calling thread for about ms milliseconds.
void sleep_ms(uint32_t ms);

#endif
