#include "protocol/clock.h"

#include <stddef.h>

static uint32_t system_now(void *)
{
    return tick_count();
}

static void system_pause(void *, uint32_t ms)
{
    sleep_ms(ms);
}

EngineClock system_clock(void)
{
    EngineClock clock = {system_now, system_pause, NULL};
    return clock;
}
