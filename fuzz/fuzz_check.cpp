#include "fuzz_check.h"

#include <stdio.h>
#include <stdlib.h>

void fuzz_fail(const char *what, const char *file, int line)
{
    fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

// Byte-at-a-time table, each entry from the bit-serial definition. Not
// instrumented for coverage: its branches say nothing about the code under
// test, and tracing them would cost much of the run time.
__attribute__((no_sanitize("coverage")))
uint16_t reference_crc16(const unsigned char *bytes, size_t count)
{
    static uint16_t table[256];
    static int ready;
    if (!ready) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t crc = b;
            for (int bit = 0; bit < 8; bit++)
                crc = (crc & 1) ? (crc ^ 0x14002) >> 1 : crc >> 1;
            table[b] = (uint16_t)crc;
        }
        ready = 1;
    }
    uint32_t crc = 0xFFFF;
    for (size_t i = 0; i < count; i++)
        crc = (crc >> 8) ^ table[(crc ^ bytes[i]) & 0xFF];
    return (uint16_t)crc;
}
