// The image reader: each format is parsed into chunks (address, bytes, the
// record they came from), which are then sorted and merged into disjoint
// parts. Overlapping chunks must agree byte for byte.
//
// This file holds the refusals, the chunks the parsers collect, the choice
// of format, and loading and reading a file (the platform's calls are in
// image_file_posix.cpp and image_file_win32.cpp). The format is told by
// content in image_file_guess.cpp; the formats are in image_file_hex.cpp,
// image_file_srec.cpp and image_file_elf.cpp (a raw binary is one chunk at
// IMAGE_BASE, kept here); chunks become parts, and parts are checked and laid
// out, in image_file_parts.cpp.
#include "image/image_file.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image.h"
#include "image/image_file_internal.h"

namespace {

const uint64_t ADDRESS_SPACE = 0x100000000ull;

}  // namespace

namespace image_file_internal {

namespace {

int vrefuse(char *why, size_t why_size, const char *name, ImageFileFormat format,
            const char *format_why, const char *reason, va_list args)
{
    int n = format_why[0] != '\0'
                ? snprintf(why, why_size, "%s: read as %s (%s): ", name,
                           image_file_format_title(format), format_why)
                : snprintf(why, why_size, "%s: ", name);
    if (n >= 0 && (size_t)n < why_size)
        vsnprintf(why + n, why_size - (size_t)n, reason, args);
    return -1;
}

}  // namespace

// Writes "NAME: read as FORMAT (FORMAT_WHY): reason" into why, or "NAME:
// reason" when format_why is "". Returns -1.
int refuse(Parse *p, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vrefuse(p->why, p->why_size, p->name, p->format, p->format_why, format, args);
    va_end(args);
    return -1;
}

int refuse_image(const ImageFile *image, char *why, size_t why_size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vrefuse(why, why_size, image->name, image->format, image->format_why, format, args);
    va_end(args);
    return -1;
}

// Adds size bytes at address from record. Returns 0, or -1 with the reason.
int keep_chunk(Parse *p, uint64_t address, const unsigned char *bytes, uint32_t size,
              uint32_t record)
{
    char where[48];
    image_file_record_name(p->format, record, where, sizeof where);
    const char *sep = where[0] != '\0' ? ": " : "";
    if (address + size > ADDRESS_SPACE)
        return refuse(p, "%s%s%u bytes at 0x%08llx wrap past the end of the 4 GiB address space",
                      where, sep, (unsigned)size, (unsigned long long)address);
    if (size == 0)
        return 0;
    Chunks *c = &p->chunks;
    // Only ELF segments that share bytes of the file can add up to more.
    if (c->used + size > c->data_capacity)
        return refuse(p, "%s%sthe segments hold more bytes than the file (they share its bytes)",
                      where, sep);
    if (c->count == c->capacity) {
        int32_t capacity = c->capacity == 0 ? 16 : c->capacity * 2;
        Chunk *list = (Chunk *)realloc(c->list, (size_t)capacity * sizeof *list);
        if (list == NULL)
            return refuse(p, "not enough memory to read the image");
        c->held += (size_t)(capacity - c->capacity) * sizeof *list;
        c->list = list;
        c->capacity = capacity;
    }
    Chunk *k = &c->list[c->count++];
    k->address = (uint32_t)address;
    k->size = size;
    k->offset = (uint32_t)c->used;
    k->record = record;
    memcpy(c->data + c->used, bytes, size);
    c->used += size;
    return 0;
}

}  // namespace image_file_internal

using namespace image_file_internal;

namespace {

// Parses as format (read so for format_why), then merges. Returns 0 or -1
// (image emptied).
int parse_as(ImageFileFormat format, const char *format_why, const unsigned char *bytes,
             size_t len, const char *name, ImageFile *image, char *why, size_t why_size)
{
    memset(image, 0, sizeof *image);
    image->name = name;
    image->format = format;
    snprintf(image->format_why, sizeof image->format_why, "%s", format_why);
    // A text format's UTF-8 byte-order mark is no part of its first line.
    if ((format == IMAGE_FILE_IHEX || format == IMAGE_FILE_SREC) && len >= 3 &&
        memcmp(bytes, "\xEF\xBB\xBF", 3) == 0)
        bytes += 3, len -= 3;
    Parse p;
    memset(&p, 0, sizeof p);
    p.bytes = bytes;
    p.len = len;
    p.name = name;
    p.format = format;
    p.format_why = image->format_why;
    p.why = why;
    p.why_size = why_size;
    p.image = image;
    if (why_size > 0)
        why[0] = '\0';
    // Decoded bytes never outnumber the input's.
    p.chunks.data_capacity = len;
    p.chunks.data = (unsigned char *)malloc(len > 0 ? len : 1);
    p.chunks.held = len > 0 ? len : 1;
    int result;
    if (p.chunks.data == NULL) {
        result = refuse(&p, "not enough memory to read the image");
    } else {
        switch (format) {
        case IMAGE_FILE_IHEX:
            result = parse_ihex(&p);
            break;
        case IMAGE_FILE_SREC:
            result = parse_srec(&p);
            break;
        case IMAGE_FILE_ELF:
            result = parse_elf(&p);
            break;
        default:
            if (len > ADDRESS_SPACE - IMAGE_BASE)
                result = refuse(&p, "%llu bytes from 0x%08x wrap past the end of the 4 GiB "
                                "address space",
                                (unsigned long long)len, (unsigned)IMAGE_BASE);
            else
                result = keep_chunk(&p, IMAGE_BASE, bytes, (uint32_t)len, 0);
            break;
        }
        if (result == 0)
            result = merge(&p, image);
    }
    size_t held = p.chunks.held + image->held;
    free(p.chunks.list);
    free(p.chunks.data);
    if (result != 0) {
        image_file_free(image);
        return -1;
    }
    image->held = held;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------

namespace {

// The words of ImageFormatChoice, in its order.
const char *const FORMAT_WORDS[] = {"auto", "bin", "hex", "srec", "elf"};

}  // namespace

int image_format_choice(const char *text, ImageFormatChoice *choice)
{
    for (int i = 0; i < (int)(sizeof FORMAT_WORDS / sizeof FORMAT_WORDS[0]); i++)
        if (text != NULL && strcmp(text, FORMAT_WORDS[i]) == 0) {
            *choice = (ImageFormatChoice)i;
            return 0;
        }
    return -1;
}

const char *image_format_choice_name(ImageFormatChoice choice)
{
    return choice >= IMAGE_FORMAT_AUTO && choice <= IMAGE_FORMAT_ELF ? FORMAT_WORDS[choice]
                                                                     : "auto";
}

int image_file_parse(const unsigned char *bytes, size_t len, const char *name, ImageFile *image,
                     char *why, size_t why_size, ImageFormatChoice choice)
{
    static const ImageFileFormat FORCED[] = {IMAGE_FILE_NONE, IMAGE_FILE_RAW, IMAGE_FILE_IHEX,
                                             IMAGE_FILE_SREC, IMAGE_FILE_ELF};
    char format_why[IMAGE_FILE_FORMAT_WHY_CAPACITY] = "the format was forced";
    ImageFileFormat format = choice > IMAGE_FORMAT_AUTO && choice <= IMAGE_FORMAT_ELF
                                 ? FORCED[choice]
                                 : guess_format(bytes, len, name, format_why, sizeof format_why,
                                                why, why_size);
    if (format == IMAGE_FILE_NONE) {
        memset(image, 0, sizeof *image);
        image->name = name;
        return -1;
    }
    return parse_as(format, format_why, bytes, len, name, image, why, why_size);
}

int image_file_parse_raw(const unsigned char *bytes, size_t len, const char *name,
                         ImageFile *image, char *why, size_t why_size)
{
    return parse_as(IMAGE_FILE_RAW, "", bytes, len, name, image, why, why_size);
}

int image_file_load(const char *path, unsigned char **bytes, size_t *len, char *why,
                    size_t why_size)
{
    intptr_t file = 0;
    int64_t size = 0;
    const char *kind = "";
    char error[160] = "";
    OpenOutcome opened = open_regular(path, &file, &size, &kind);
    if (opened == NOT_REGULAR) {
        snprintf(why, why_size, "%s: not a regular file (%s)", path, kind);
        return -1;
    }
    if (opened == OPEN_FAILED) {
        system_error(error, sizeof error);
        snprintf(why, why_size, "%s: cannot be read: %s", path, error);
        return -1;
    }
    if (size < 0 || size > IMAGE_FILE_MAX_BYTES) {
        snprintf(why, why_size, "%s: %lld bytes, more than any image file (%d MiB)", path,
                 (long long)size, IMAGE_FILE_MAX_BYTES / (1024 * 1024));
        close_file(file);
        return -1;
    }
    // One byte more than the size tells a file that grew while it was read.
    size_t capacity = (size_t)size + 1, got = 0;
    unsigned char *buffer = (unsigned char *)malloc(capacity);
    int64_t n = 1;
    while (buffer != NULL && got < capacity &&
           (n = read_file(file, buffer + got, capacity - got)) > 0)
        got += (size_t)n;
    if (n < 0)
        system_error(error, sizeof error);
    close_file(file);
    const char *reason = buffer == NULL    ? "not enough memory"
                         : got == capacity ? "it changed while it was read"
                         : n < 0           ? error
                                           : NULL;
    if (reason != NULL) {
        snprintf(why, why_size, "%s: cannot be read: %s", path, reason);
        free(buffer);
        return -1;
    }
    *bytes = buffer;
    *len = got;
    return 0;
}

int image_file_read(const char *path, ImageFile *image, char *why, size_t why_size,
                    ImageFormatChoice choice)
{
    memset(image, 0, sizeof *image);
    unsigned char *bytes = NULL;
    size_t len = 0;
    if (image_file_load(path, &bytes, &len, why, why_size) != 0)
        return -1;
    int result = image_file_parse(bytes, len, path, image, why, why_size, choice);
    // Only a file that parsed is hashed.
    if (result == 0) {
        sha256_hex(bytes, len, image->sha256);
        image->file_size = (int64_t)len;
    }
    free(bytes);
    return result;
}

const char *image_file_format_name(ImageFileFormat format)
{
    switch (format) {
    case IMAGE_FILE_RAW:
        return "binary";
    case IMAGE_FILE_IHEX:
        return "ihex";
    case IMAGE_FILE_SREC:
        return "srec";
    case IMAGE_FILE_ELF:
        return "elf";
    default:
        return "none";
    }
}

const char *image_file_format_title(ImageFileFormat format)
{
    switch (format) {
    case IMAGE_FILE_RAW:
        return "raw binary";
    case IMAGE_FILE_IHEX:
        return "Intel HEX";
    case IMAGE_FILE_SREC:
        return "Motorola S-records";
    case IMAGE_FILE_ELF:
        return "ELF32 ARM";
    default:
        return "none";
    }
}

void image_file_record_name(ImageFileFormat format, uint32_t record, char *text, size_t size)
{
    if (format == IMAGE_FILE_IHEX || format == IMAGE_FILE_SREC)
        snprintf(text, size, "line %u", (unsigned)record);
    else if (format == IMAGE_FILE_ELF)
        snprintf(text, size, "program header %u", (unsigned)record);
    else if (size > 0)
        text[0] = '\0';
}
