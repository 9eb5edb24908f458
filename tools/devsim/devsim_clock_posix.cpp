// fwu-devsim's time: nanoseconds since the simulator started, on the one
// monotonic clock, and pauses that signals do not cut short.
#include <errno.h>
#include <time.h>

#include "devsim_shell.h"

uint64_t devsim_now_ns(const DevsimShell *shell)
{
    return (uint64_t)monotonic_ns() - shell->start_ns;
}

void devsim_pause_ms(uint32_t ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000u;
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
