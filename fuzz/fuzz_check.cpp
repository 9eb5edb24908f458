#include "fuzz_check.h"

#include <stdio.h>
#include <stdlib.h>

void fuzz_fail(const char *what, const char *file, int line)
{
    fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

uint16_t reference_crc16(const unsigned char *bytes, size_t count)
{
    uint32_t crc = 0xFFFF;
    for (size_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc ^ 0x14002) >> 1 : crc >> 1;
    }
    return (uint16_t)crc;
}
