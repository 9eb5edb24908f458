// The characters of untrusted text, shared by the port identity (adapter
// serial numbers, Linux USB ids, Windows device ids) and the image reader
// (Intel HEX, S-records, telling text from raw binary).
#ifndef FWU_SERIAL_TEXT_CHARS_H
#define FWU_SERIAL_TEXT_CHARS_H

#include <stddef.h>

// The value of the hexadecimal digit c (either case), or -1.
int hex_digit(int c);

// The length of the well-formed UTF-8 sequence at p (at most left bytes,
// left > 0) and its code point in *code, or 0 when it is malformed: a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate,
// beyond U+10FFFF.
size_t utf8_sequence(const unsigned char *p, size_t left, unsigned long *code);

#endif
