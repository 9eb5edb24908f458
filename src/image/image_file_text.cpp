// The text formats' common ground (Intel HEX and S-records): lines of
// hexadecimal digits, read one at a time, decoded into a record's bytes.
#include "image/image_file_internal.h"
#include "serial/text_chars.h"

namespace image_file_internal {

int is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The next line from *pos; a line ends at LF, CRLF or CR. Returns 0 at the
// end of the input.
int next_line(Parse *p, size_t *pos, uint32_t *number, Line *line)
{
    if (*pos >= p->len)
        return 0;
    const unsigned char *start = p->bytes + *pos;
    size_t left = p->len - *pos, len = 0;
    while (len < left && start[len] != '\n' && start[len] != '\r')
        len++;
    size_t end = len < left ? 1 : 0;
    if (end == 1 && start[len] == '\r' && len + 1 < left && start[len + 1] == '\n')
        end = 2;
    *pos += len + end;
    while (len > 0 && is_blank(start[len - 1]))
        len--;
    size_t lead = 0;
    while (lead < len && is_blank(start[lead]))
        lead++;
    line->text = start + lead;
    line->len = len - lead;
    line->number = ++*number;
    return 1;
}

// Decodes the hex digits of a record from text + first into bytes. Returns
// their count, or -1 with the reason.
int decode_hex(Parse *p, const Line *line, size_t first, unsigned char *bytes)
{
    size_t digits = line->len - first;
    for (size_t i = first; i < line->len; i++)
        if (hex_digit(line->text[i]) < 0)
            return refuse(p, "line %u: '%c' at column %u is not a hexadecimal digit",
                          (unsigned)line->number,
                          line->text[i] >= 0x20 && line->text[i] < 0x7f ? line->text[i] : '?',
                          (unsigned)(i + 1));
    if (digits % 2 != 0)
        return refuse(p, "line %u: an odd number of hexadecimal digits", (unsigned)line->number);
    if (digits / 2 > RECORD_BYTES_MAX)
        return refuse(p, "line %u: longer than any record can be", (unsigned)line->number);
    for (size_t i = 0; i < digits / 2; i++)
        bytes[i] = (unsigned char)(hex_digit(line->text[first + 2 * i]) << 4 |
                                   hex_digit(line->text[first + 2 * i + 1]));
    return (int)(digits / 2);
}

// After the end record only blank lines may follow.
int nothing_after(Parse *p, size_t pos, uint32_t number, uint32_t end_line, const char *what)
{
    Line line;
    while (next_line(p, &pos, &number, &line))
        if (line.len > 0)
            return refuse(p, "line %u: more after the %s (line %u): a second file joined on, or "
                          "junk",
                          (unsigned)line.number, what, (unsigned)end_line);
    return 0;
}

}  // namespace image_file_internal
