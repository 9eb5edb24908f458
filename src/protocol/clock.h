// Time as the update engine sees it: a millisecond tick counter that wraps
// at 2^32 like the system's, and a blocking pause. The system's clock is one
// implementation file per platform; every update carries the clock it runs
// by (DeviceLink.clock), so a test drives the engine by a scripted one.
#ifndef FWU_PROTOCOL_CLOCK_H
#define FWU_PROTOCOL_CLOCK_H

#include <stdint.h>

// Milliseconds from an arbitrary origin; elapsed time is the unsigned
// difference now - then, which stays right across the wrap.
uint32_t tick_count(void);

// Blocks the calling thread for about ms milliseconds.
void sleep_ms(uint32_t ms);

// A clock an update runs by: now_ms as tick_count, pause_ms as sleep_ms.
struct EngineClock {
    uint32_t (*now_ms)(void *context);
    void (*pause_ms)(void *context, uint32_t ms);
    void *context;
};

// tick_count and sleep_ms as an EngineClock.
EngineClock system_clock(void);

// The time by clock.
static inline uint32_t clock_now(const EngineClock *clock)
{
    return clock->now_ms(clock->context);
}

#endif
