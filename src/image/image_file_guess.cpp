// Telling an image file's format by its content: ELF by its header; text
// (ASCII or UTF-8) from raw binary, decisively, as firmware always holds
// bytes that are not text (its vector table does); of text, Intel HEX from
// S-records. UTF-16 and UTF-32 text is refused: the text formats are ASCII.
#include <stdio.h>
#include <string.h>

#include "image/image_file_internal.h"
#include "serial/text_chars.h"

namespace image_file_internal {
namespace {

const size_t SAMPLE = 4096;  // how much of a file tells text from binary

// The length of the text character at p (left > 0 bytes there): printable
// ASCII, a blank, or any well-formed UTF-8 sequence; 0 for anything else.
size_t text_char(const unsigned char *p, size_t left)
{
    if (p[0] < 0x80)
        return is_blank(p[0]) || (p[0] >= 0x20 && p[0] < 0x7f) ? 1 : 0;
    unsigned long code;
    return utf8_sequence(p, left, &code);
}

// Whether 9 in 10 of the first SAMPLE bytes' units of width bytes hold an
// ASCII text character in byte at and zeros in the rest (UTF-16 or UTF-32
// text of that byte order), with at least two units.
int wide_ascii(const unsigned char *b, size_t len, size_t width, size_t at)
{
    size_t units = (len < SAMPLE ? len : SAMPLE) / width, text = 0;
    for (size_t u = 0; u < units; u++) {
        const unsigned char *unit = b + u * width;
        int ok = text_char(unit + at, 1) == 1;
        for (size_t i = 0; i < width && ok; i++)
            ok = i == at || unit[i] == 0;
        text += (size_t)ok;
    }
    return units >= 2 && text * 10 >= units * 9;
}

// Refuses UTF-16 and UTF-32 text, told by a byte-order mark or by the zero
// bytes around ASCII characters. Returns -1 so, or 0.
int refuse_wide(const unsigned char *b, size_t len, const char *name, char *why,
                size_t why_size)
{
    static const struct {
        const char *mark;
        size_t mark_len;
        const char *what;
        size_t width, at;
    } WIDE[] = {{"\xFF\xFE\0\0", 4, "UTF-32 (little-endian)", 4, 0},
                {"\0\0\xFE\xFF", 4, "UTF-32 (big-endian)", 4, 3},
                {"\xFF\xFE", 2, "UTF-16 (little-endian)", 2, 0},
                {"\xFE\xFF", 2, "UTF-16 (big-endian)", 2, 1}};
    for (int pass = 0; pass < 2; pass++)
        for (const auto &w : WIDE) {
            if (pass == 0 ? len < w.mark_len || memcmp(b, w.mark, w.mark_len) != 0
                          : !wide_ascii(b, len, w.width, w.at))
                continue;
            snprintf(why, why_size,
                     "%s: %s text, by its %s: Intel HEX and S-records are read as ASCII or "
                     "UTF-8; save it so",
                     name, w.what, pass == 0 ? "byte-order mark" : "zero bytes");
            return -1;
        }
    return 0;
}

// The offset of the first byte that is not text in the line from start (in
// its first SAMPLE bytes), or len when there is none.
size_t first_stray(const unsigned char *b, size_t len, size_t start)
{
    size_t end = len - start > SAMPLE ? start + SAMPLE : len;
    for (size_t at = start; at < end && b[at] != '\n' && b[at] != '\r';) {
        size_t n = text_char(b + at, len - at);
        if (n == 0)
            return at;
        at += n;
    }
    return len;
}

// Whether 9 in 10 of the first SAMPLE bytes are text.
int mostly_text(const unsigned char *b, size_t len)
{
    size_t end = len < SAMPLE ? len : SAMPLE, text = 0;
    for (size_t at = 0; at < end;) {
        size_t n = text_char(b + at, len - at);
        text += n;
        at += n > 0 ? n : 1;
    }
    return end > 0 && text * 10 >= end * 9;
}

// The start of the line at b (up to 16 bytes, to its end) for a message:
// printable ASCII and UTF-8 past the C1 controls as they are, '?' else.
void excerpt(const unsigned char *b, size_t len, char *out, size_t size)
{
    size_t o = 0;
    for (size_t at = 0; at < len && at < 16 && b[at] != '\n' && b[at] != '\r' && o + 5 < size;) {
        unsigned long code = 0;
        size_t n = utf8_sequence(b + at, len - at, &code);
        if (n == 0 || code < 0x20 || (code >= 0x7f && code < 0xa0)) {
            out[o++] = '?';
            at++;
        } else {
            memcpy(out + o, b + at, n);
            o += n;
            at += n;
        }
    }
    out[o] = '\0';
}

}  // namespace

ImageFileFormat guess_format(const unsigned char *b, size_t len, const char *name,
                             char *format_why, size_t format_why_size, char *why,
                             size_t why_size)
{
    if (len >= 4 && memcmp(b, "\x7f" "ELF", 4) == 0) {
        snprintf(format_why, format_why_size, "it starts with an ELF header");
        return IMAGE_FILE_ELF;
    }
    if (len == 0) {
        snprintf(format_why, format_why_size, "an empty file");
        return IMAGE_FILE_RAW;
    }
    if (refuse_wide(b, len, name, why, why_size) != 0)
        return IMAGE_FILE_NONE;
    int bom = len >= 3 && memcmp(b, "\xEF\xBB\xBF", 3) == 0;
    size_t start = bom ? 3 : 0;
    while (start < len && is_blank(b[start]))
        start++;
    size_t stray = start < len ? first_stray(b, len, start) : len;
    const char *text = bom ? "text with a UTF-8 byte-order mark"
                       : stray == len ? "the first line is text"
                       : mostly_text(b, len) ? "most of the first 4 KiB is text"
                                             : NULL;
    if (text == NULL) {
        snprintf(format_why, format_why_size,
                 "neither ELF nor text: byte 0x%02x at offset %lu is not text", b[stray],
                 (unsigned long)stray);
        return IMAGE_FILE_RAW;
    }
    if (start < len && b[start] == ':') {
        snprintf(format_why, format_why_size, "%s starting ':'", text);
        return IMAGE_FILE_IHEX;
    }
    if (len - start >= 2 && b[start] == 'S' && b[start + 1] >= '0' && b[start + 1] <= '9') {
        snprintf(format_why, format_why_size, "%s starting 'S%c'", text, b[start + 1]);
        return IMAGE_FILE_SREC;
    }
    char first[16 * 4 + 1];
    excerpt(b + start, len - start, first, sizeof first);
    if (start == len)
        snprintf(why, why_size, "%s: text, but neither Intel HEX nor S-records: blank lines only",
                 name);
    else
        snprintf(why, why_size,
                 "%s: text, but neither Intel HEX nor S-records: its first line starts \"%s\" "
                 "(Intel HEX lines start with ':', S-records with S0 to S9)",
                 name, first);
    return IMAGE_FILE_NONE;
}

}  // namespace image_file_internal
