// What the command line's files share (devsim_options.cpp: the option
// table; devsim_selector.cpp: the selectors and the numbers in them).
// Nothing outside fwu_devsim_core includes it.
#ifndef FWU_DEVSIM_OPTIONS_INTERNAL_H
#define FWU_DEVSIM_OPTIONS_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

// The one-line reason of a refusal into err (capacity bytes), when err is
// given.
void devsim_fail(char *err, size_t capacity, const char *format, ...) __attribute__((format(printf, 3, 4)));

// A whole-string unsigned number, decimal or 0x-hex, at most max.
int devsim_parse_number(const char *text, uint64_t max, uint64_t *value);

// As parse_number, for a value that fits 32 bits.
int devsim_parse_u32(const char *text, uint32_t max, uint32_t *value);

#endif
