#include "protocol/clock.h"
#include "serial/monotonic.h"

#include <errno.h>
#include <time.h>

uint32_t tick_count(void)
{
    return (uint32_t)(uint64_t)(monotonic_ns() / 1000000);
}

void sleep_ms(uint32_t ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000u;
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
