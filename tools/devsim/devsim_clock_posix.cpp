// fwu-devsim's time: nanoseconds since the simulator started, on the one
// monotonic clock. Its pauses are the protocol layer's sleep_ms.
#include "devsim_shell.h"

uint64_t devsim_now_ns(const DevsimShell *shell)
{
    return (uint64_t)monotonic_ns() - shell->start_ns;
}
