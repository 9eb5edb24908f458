#include "protocol/clock.h"

#include <windows.h>

uint32_t tick_count(void)
{
    return GetTickCount();
}

void sleep_ms(uint32_t ms)
{
    Sleep(ms);
}
