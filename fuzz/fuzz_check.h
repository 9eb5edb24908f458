// What the fuzz targets share: how a broken property is reported, and a
// CRC-16 to hold the frame code's against.
#ifndef FWU_FUZZ_FUZZ_CHECK_H
#define FWU_FUZZ_FUZZ_CHECK_H

#include <stddef.h>
#include <stdint.h>

// Reports a broken property on standard error and aborts, so that libFuzzer
// keeps the input that broke it.
[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);
#define FUZZ_REQUIRE(cond) ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))

// CRC-16/MODBUS computed apart from the frame code's own, in the bit-serial
// form that XORs 0x14002 before the shift.
uint16_t reference_crc16(const unsigned char *bytes, size_t count);

#endif
