#include "serial/monotonic.h"

double monotonic_ms(void)
{
    return (double)monotonic_ns() / 1e6;
}

double monotonic_seconds(void)
{
    return (double)monotonic_ns() / 1e9;
}
