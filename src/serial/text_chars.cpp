// The characters of untrusted text: hexadecimal digits and UTF-8 sequences.
#include "serial/text_chars.h"

int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

size_t utf8_sequence(const unsigned char *p, size_t left, unsigned long *code)
{
    unsigned char c = p[0];
    size_t n;
    unsigned long value, least;
    if (c < 0x80) {
        *code = c;
        return 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
        n = 2, value = c & 0x1f, least = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3, value = c & 0x0f, least = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4, value = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (p[i] & 0x3f);
    }
    if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    *code = value;
    return n;
}
