// What the image reader's files share (image_file.cpp, the telling of a
// format in image_file_guess.cpp, the format parsers image_file_hex.cpp,
// image_file_srec.cpp, image_file_elf.cpp, the text line helpers in
// image_file_text.cpp, the parts in image_file_parts.cpp, the platform's
// file calls in image_file_posix.cpp and image_file_win32.cpp): the chunks a
// parser collects, the parse in progress, the refusals. Not part of the
// reader's interface; nothing outside fwu_image_file includes it.
#ifndef FWU_IMAGE_IMAGE_FILE_INTERNAL_H
#define FWU_IMAGE_IMAGE_FILE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "image/image_file.h"

namespace image_file_internal {

// A run of bytes as one record gave them; bytes at Chunks.data + offset.
struct Chunk {
    uint32_t address;
    uint32_t size;
    uint32_t offset;
    uint32_t record;
};

struct Chunks {
    Chunk *list;
    int32_t count;
    int32_t capacity;
    unsigned char *data;  // room for every byte of the input: never outgrown
    size_t used;
    size_t data_capacity;
    size_t held;
};

struct Parse {
    const unsigned char *bytes;
    size_t len;
    const char *name;
    ImageFileFormat format;
    const char *format_why;  // why it is read as format, for refusals ("" to say nothing)
    char *why;
    size_t why_size;
    Chunks chunks;
    ImageFile *image;  // the result: the parsers add their notes to it
};

// Writes "NAME: read as FORMAT (FORMAT_WHY): reason" into why, or "NAME:
// reason" when format_why is "". Returns -1.
int refuse(Parse *p, const char *format, ...) __attribute__((format(printf, 2, 3)));
int refuse_image(const ImageFile *image, char *why, size_t why_size, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The format the content of len bytes tells (see image_file.h), with why in
// format_why; or IMAGE_FILE_NONE, refused in why (UTF-16 or UTF-32 text,
// text that is neither Intel HEX nor S-records).
ImageFileFormat guess_format(const unsigned char *bytes, size_t len, const char *name,
                             char *format_why, size_t format_why_size, char *why,
                             size_t why_size);

// Adds size bytes at address from record. Returns 0, or -1 with the reason.
int keep_chunk(Parse *p, uint64_t address, const unsigned char *bytes, uint32_t size,
               uint32_t record);

// ---------------------------------------------------------------------------
// Text formats (image_file_text.cpp)

int is_blank(unsigned char c);

// One line of a text image, without its end of line and trailing blanks.
struct Line {
    const unsigned char *text;
    size_t len;
    uint32_t number;
};

// The next line from *pos (ending at LF, CRLF or CR). Returns 0 at the end
// of the input.
int next_line(Parse *p, size_t *pos, uint32_t *number, Line *line);

// The longest record's bytes: an Intel HEX record of 255 data bytes (with
// its length, address, type and checksum); an S-record's count byte allows
// at most 256.
enum { RECORD_BYTES_MAX = 5 + 255 };

// Decodes the hex digits of a record from text + first into bytes. Returns
// their count, or -1 with the reason.
int decode_hex(Parse *p, const Line *line, size_t first, unsigned char *bytes);

// After the end record only blank lines may follow: returns 0, or -1 naming
// the first line that is not blank.
int nothing_after(Parse *p, size_t pos, uint32_t number, uint32_t end_line, const char *what);

// ---------------------------------------------------------------------------
// The formats, each into p->chunks. Return 0, or -1 with the reason.

int parse_ihex(Parse *p);  // image_file_hex.cpp
int parse_srec(Parse *p);  // image_file_srec.cpp
int parse_elf(Parse *p);   // image_file_elf.cpp

// Sorts the chunks and merges them into image's parts (image_file_parts.cpp).
// Returns 0, or -1 when two chunks disagree where they overlap.
int merge(Parse *p, ImageFile *image);

// ---------------------------------------------------------------------------
// The platform's file calls (image_file_posix.cpp, image_file_win32.cpp);
// image_file_load (image_file.cpp) makes the checks and the refusals.

enum OpenOutcome { OPENED, OPEN_FAILED, NOT_REGULAR };

// Opens path for reading if it is a regular file, looking at it first so
// that a FIFO is never waited on nor a device opened, and again once open.
// OPENED with *file and its *size; NOT_REGULAR with what it is in *kind
// ("a directory", "a FIFO", ...); OPEN_FAILED with the system's error left
// for system_error.
OpenOutcome open_regular(const char *path, intptr_t *file, int64_t *size, const char **kind);

// Reads at most n bytes: their count, 0 at the end of the file, or -1 with
// the system's error left for system_error.
int64_t read_file(intptr_t file, unsigned char *buffer, size_t n);

void close_file(intptr_t file);

// The system's last error, in words.
void system_error(char *text, size_t size);

}  // namespace image_file_internal

#endif
