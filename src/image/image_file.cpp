// The image reader: each format is parsed into chunks (address, bytes, the
// record they came from), which are then sorted and merged into disjoint
// parts. Overlapping chunks must agree byte for byte.
#include "image/image_file.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image.h"

namespace {

const uint64_t ADDRESS_SPACE = 0x100000000ull;

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
    char *why;
    size_t why_size;
    Chunks chunks;
};

int refuse(Parse *p, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Writes "NAME: reason" into why. Returns -1.
int refuse(Parse *p, const char *format, ...)
{
    int n = snprintf(p->why, p->why_size, "%s: ", p->name);
    if (n >= 0 && (size_t)n < p->why_size) {
        va_list args;
        va_start(args, format);
        vsnprintf(p->why + n, p->why_size - (size_t)n, format, args);
        va_end(args);
    }
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

// ---------------------------------------------------------------------------
// Text formats: lines of hexadecimal digits

int is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line of a text image, without its end of line and trailing blanks.
struct Line {
    const unsigned char *text;
    size_t len;
    uint32_t number;
};

// The next line from *pos. Returns 0 at the end of the input.
int next_line(Parse *p, size_t *pos, uint32_t *number, Line *line)
{
    if (*pos >= p->len)
        return 0;
    const unsigned char *start = p->bytes + *pos;
    const unsigned char *nl = (const unsigned char *)memchr(start, '\n', p->len - *pos);
    size_t len = nl != NULL ? (size_t)(nl - start) : p->len - *pos;
    *pos += len + (nl != NULL ? 1 : 0);
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

enum { RECORD_BYTES_MAX = 256 };

// Decodes the hex digits of a record from text + first into bytes. Returns
// their count, or -1 with the reason.
int decode_hex(Parse *p, const Line *line, size_t first, unsigned char *bytes)
{
    size_t digits = line->len - first;
    for (size_t i = first; i < line->len; i++)
        if (hex_value(line->text[i]) < 0)
            return refuse(p, "line %u: '%c' at column %u is not a hexadecimal digit",
                          (unsigned)line->number,
                          line->text[i] >= 0x20 && line->text[i] < 0x7f ? line->text[i] : '?',
                          (unsigned)(i + 1));
    if (digits % 2 != 0)
        return refuse(p, "line %u: an odd number of hexadecimal digits", (unsigned)line->number);
    if (digits / 2 > RECORD_BYTES_MAX)
        return refuse(p, "line %u: longer than any record can be", (unsigned)line->number);
    for (size_t i = 0; i < digits / 2; i++)
        bytes[i] = (unsigned char)(hex_value(line->text[first + 2 * i]) << 4 |
                                   hex_value(line->text[first + 2 * i + 1]));
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

int parse_ihex(Parse *p)
{
    size_t pos = 0;
    uint32_t number = 0;
    uint64_t linear = 0, segment = 0;  // from records 04 and 02
    Line line;
    while (next_line(p, &pos, &number, &line)) {
        if (line.len == 0)
            continue;
        unsigned n = (unsigned)line.number;
        if (line.text[0] != ':')
            return refuse(p, "line %u: not an Intel HEX record (it must start with ':')", n);
        unsigned char b[RECORD_BYTES_MAX];
        int count = decode_hex(p, &line, 1, b);
        if (count < 0)
            return -1;
        if (count < 5 || count != b[0] + 5)
            return refuse(p, "line %u: the record's length byte says %d data bytes, it holds %d",
                          n, count > 0 ? b[0] : 0, count > 5 ? count - 5 : 0);
        unsigned sum = 0;
        for (int i = 0; i < count - 1; i++)
            sum += b[i];
        unsigned want = (0x100 - (sum & 0xFF)) & 0xFF;
        if (b[count - 1] != want)
            return refuse(p, "line %u: bad checksum 0x%02x (the record's bytes need 0x%02x)", n,
                          b[count - 1], want);
        unsigned length = b[0];
        unsigned offset = (unsigned)b[1] << 8 | b[2];
        unsigned type = b[3];
        const unsigned char *data = b + 4;
        if (type > 5)
            return refuse(p, "line %u: record type %02x is not Intel HEX (00-05)", n, type);
        unsigned need = type == 2 || type == 4 ? 2 : type == 3 || type == 5 ? 4 : 0;
        if (type != 0 && length != need)
            return refuse(p, "line %u: a type %02x record holds %u data bytes, not %u", n, type,
                          length, need);
        switch (type) {
        case 0:
            if (offset + length > 0x10000)
                return refuse(p,
                              "line %u: the record runs past the end of its 64 KiB segment "
                              "(offset 0x%04x + %u bytes); where its end lies is ambiguous",
                              n, offset, length);
            if (keep_chunk(p, linear + segment + offset, data, length, line.number) != 0)
                return -1;
            break;
        case 1:
            return nothing_after(p, pos, number, line.number, "end-of-file record");
        case 2:
            segment = (uint64_t)((unsigned)data[0] << 8 | data[1]) << 4;
            break;
        case 4:
            linear = (uint64_t)((unsigned)data[0] << 8 | data[1]) << 16;
            break;
        default:  // 03, 05: the start address, where the program begins; nothing to write
            break;
        }
    }
    return refuse(p, "no end-of-file record (:00000001FF): the file is cut short?");
}

int parse_srec(Parse *p)
{
    // Address bytes per record type; S4 is reserved.
    static const int ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    size_t pos = 0;
    uint32_t number = 0;
    uint32_t data_records = 0;
    Line line;
    while (next_line(p, &pos, &number, &line)) {
        if (line.len == 0)
            continue;
        unsigned n = (unsigned)line.number;
        if (line.len < 2 || line.text[0] != 'S' || line.text[1] < '0' || line.text[1] > '9')
            return refuse(p, "line %u: not an S-record (it must start with S0 to S9)", n);
        int type = line.text[1] - '0';
        if (type == 4)
            return refuse(p, "line %u: S4 is a reserved record type", n);
        unsigned char b[RECORD_BYTES_MAX];
        int count = decode_hex(p, &line, 2, b);
        if (count < 0)
            return -1;
        int address_bytes = ADDRESS_BYTES[type];
        if (count < 1 || count != b[0] + 1 || b[0] < address_bytes + 1)
            return refuse(p, "line %u: the record's count byte says %d bytes, it holds %d", n,
                          count > 0 ? b[0] : 0, count > 0 ? count - 1 : 0);
        unsigned sum = 0;
        for (int i = 0; i < count - 1; i++)
            sum += b[i];
        unsigned want = ~sum & 0xFF;
        if (b[count - 1] != want)
            return refuse(p, "line %u: bad checksum 0x%02x (the record's bytes need 0x%02x)", n,
                          b[count - 1], want);
        uint64_t address = 0;
        for (int i = 0; i < address_bytes; i++)
            address = address << 8 | b[1 + i];
        const unsigned char *data = b + 1 + address_bytes;
        unsigned length = (unsigned)(count - 2 - address_bytes);
        if (type >= 5 && length != 0)
            return refuse(p, "line %u: an S%d record carries no data, this one has %u bytes", n,
                          type, length);
        switch (type) {
        case 0:
            break;  // the header: a name, nothing to write
        case 1:
        case 2:
        case 3:
            if (keep_chunk(p, address, data, length, line.number) != 0)
                return -1;
            data_records++;
            break;
        case 5:
        case 6:
            if (address != data_records)
                return refuse(p, "line %u: the S%d record counts %llu data records, the file has "
                              "%u before it",
                              n, type, (unsigned long long)address, (unsigned)data_records);
            break;
        default:  // S7, S8, S9: the end, with the start address
            return nothing_after(p, pos, number, line.number, "termination record");
        }
    }
    return refuse(p, "no termination record (S7, S8 or S9): the file is cut short?");
}

// ---------------------------------------------------------------------------
// ELF32 little-endian ARM

uint32_t le16(const unsigned char *b)
{
    return (uint32_t)b[0] | (uint32_t)b[1] << 8;
}

uint32_t le32(const unsigned char *b)
{
    return le16(b) | le16(b + 2) << 16;
}

int parse_elf(Parse *p)
{
    enum { EHDR_SIZE = 52, PHDR_SIZE = 32, ET_EXEC = 2, EM_ARM = 40, PT_LOAD = 1, PN_XNUM = 0xFFFF };
    const unsigned char *b = p->bytes;
    if (p->len < EHDR_SIZE)
        return refuse(p, "an ELF file cut short: %u bytes, less than its header", (unsigned)p->len);
    if (b[4] != 1 || b[5] != 1)
        return refuse(p, "not a 32-bit little-endian ELF file (class %u, data %u)", b[4], b[5]);
    if (b[6] != 1 || le32(b + 20) != 1)
        return refuse(p, "unknown ELF version");
    if (le16(b + 18) != EM_ARM)
        return refuse(p, "an ELF file for machine %u, not ARM (40)", (unsigned)le16(b + 18));
    if (le16(b + 16) != ET_EXEC)
        return refuse(p, "ELF type %u, not a linked executable (2)%s", (unsigned)le16(b + 16),
                      le16(b + 16) == 1 ? ": an object file, link it first" : "");
    uint64_t phoff = le32(b + 28);
    uint32_t phentsize = le16(b + 42);
    uint32_t phnum = le16(b + 44);
    if (phnum == 0)
        return refuse(p, "no program headers: nothing to load");
    if (phnum == PN_XNUM)
        return refuse(p, "more program headers than the ELF header can count (PN_XNUM)");
    if (phentsize < PHDR_SIZE)
        return refuse(p, "program headers of %u bytes, less than 32", (unsigned)phentsize);
    if (phoff + (uint64_t)phnum * phentsize > p->len)
        return refuse(p, "the program headers run past the end of the file (cut short?)");
    for (uint32_t i = 0; i < phnum; i++) {
        const unsigned char *ph = b + phoff + (uint64_t)i * phentsize;
        if (le32(ph) != PT_LOAD)
            continue;
        uint64_t offset = le32(ph + 4);
        uint32_t paddr = le32(ph + 12);
        uint32_t filesz = le32(ph + 16);
        uint32_t memsz = le32(ph + 20);
        if (filesz > memsz)
            return refuse(p, "program header %u: %u bytes in the file, more than its %u in memory",
                          (unsigned)i, (unsigned)filesz, (unsigned)memsz);
        if (offset + filesz > p->len)
            return refuse(p, "program header %u: its bytes run past the end of the file (cut "
                          "short?)",
                          (unsigned)i);
        if (keep_chunk(p, paddr, b + offset, filesz, i) != 0)
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Chunks into parts

int compare_chunks(const void *a, const void *b)
{
    const Chunk *x = (const Chunk *)a, *y = (const Chunk *)b;
    if (x->address != y->address)
        return x->address < y->address ? -1 : 1;
    return x->offset < y->offset ? -1 : x->offset > y->offset ? 1 : 0;
}

// The byte at address in the parts: 0xFF in a gap below high, 0 above it
// (the padding).
unsigned char byte_at(const ImageFile *image, uint32_t address)
{
    for (int32_t i = 0; i < image->part_count; i++) {
        const ImagePart *part = &image->parts[i];
        if (address >= part->address && address - part->address < part->size)
            return image->data[part->offset + (address - part->address)];
    }
    return address < image->high ? 0xFF : 0x00;
}

uint32_t word_at(const ImageFile *image, uint32_t address)
{
    uint32_t word = 0;
    for (int i = 3; i >= 0; i--)
        word = word << 8 | byte_at(image, address + (uint32_t)i);
    return word;
}

// Sorts the chunks and merges them into image's parts. Returns 0, or -1 when
// two chunks disagree where they overlap.
int merge(Parse *p, ImageFile *image)
{
    Chunks *c = &p->chunks;
    if (c->count > 0)
        qsort(c->list, (size_t)c->count, sizeof *c->list, compare_chunks);
    image->parts = (ImagePart *)malloc((size_t)(c->count > 0 ? c->count : 1) * sizeof(ImagePart));
    image->data = (unsigned char *)malloc(c->used > 0 ? c->used : 1);
    if (image->parts == NULL || image->data == NULL)
        return refuse(p, "not enough memory to read the image");
    image->held = (size_t)(c->count > 0 ? c->count : 1) * sizeof(ImagePart) +
                  (c->used > 0 ? c->used : 1);
    size_t used = 0;
    ImagePart *part = NULL;
    for (int32_t i = 0; i < c->count; i++) {
        const Chunk *k = &c->list[i];
        const unsigned char *bytes = c->data + k->offset;
        uint64_t part_end = part != NULL ? (uint64_t)part->address + part->size : 0;
        if (part == NULL || k->address > part_end) {
            part = &image->parts[image->part_count++];
            part->address = k->address;
            part->size = 0;
            part->offset = (uint32_t)used;
            part->first_record = k->record;
            part->last_record = k->record;
            part_end = k->address;
        }
        // Where this chunk overlaps what is already there, the bytes must agree.
        uint32_t overlap = (uint32_t)(part_end - k->address);
        if (overlap > k->size)
            overlap = k->size;
        const unsigned char *there = image->data + part->offset + (k->address - part->address);
        for (uint32_t j = 0; j < overlap; j++) {
            if (there[j] == bytes[j])
                continue;
            uint32_t at = k->address + j;
            // The earlier chunk that holds this address, for the message.
            uint32_t other = 0;
            for (int32_t e = i - 1; e >= 0; e--)
                if (at >= c->list[e].address && at - c->list[e].address < c->list[e].size) {
                    other = c->list[e].record;
                    break;
                }
            uint32_t later = other > k->record ? other : k->record;
            uint32_t earlier = other > k->record ? k->record : other;
            char a[48], b[48];
            image_file_record_name(p->format, later, a, sizeof a);
            image_file_record_name(p->format, earlier, b, sizeof b);
            return refuse(p, "%s: the data at 0x%08x overlaps %s and differs from it (0x%02x "
                          "against 0x%02x)",
                          a, (unsigned)at, b, bytes[j], there[j]);
        }
        if (k->size > overlap) {
            memcpy(image->data + used, bytes + overlap, k->size - overlap);
            used += k->size - overlap;
            part->size += k->size - overlap;
            part->last_record = k->record;
        }
    }
    image->loaded = (int64_t)used;
    if (image->part_count > 0) {
        const ImagePart *last = &image->parts[image->part_count - 1];
        image->low = image->parts[0].address;
        image->high = (uint64_t)last->address + last->size;
    }
    if (image->low >= (uint32_t)IMAGE_BASE && image->part_count > 0) {
        image->size = (int64_t)(image->high - IMAGE_BASE);
        image->gap_bytes = image->size - image->loaded;
        image->padded_size = padded_image_size(image->size);
    } else {
        image->padded_size = -1;
    }
    image->initial_sp = word_at(image, IMAGE_BASE);
    image->reset_vector = word_at(image, IMAGE_BASE + 4);
    return 0;
}

// Parses as format, then merges. Returns 0 or -1 (image emptied).
int parse_as(ImageFileFormat format, const unsigned char *bytes, size_t len, const char *name,
             ImageFile *image, char *why, size_t why_size)
{
    memset(image, 0, sizeof *image);
    image->name = name;
    image->format = format;
    Parse p;
    memset(&p, 0, sizeof p);
    p.bytes = bytes;
    p.len = len;
    p.name = name;
    p.format = format;
    p.why = why;
    p.why_size = why_size;
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

int image_file_parse(const unsigned char *bytes, size_t len, const char *name, ImageFile *image,
                     char *why, size_t why_size)
{
    if (len >= 4 && memcmp(bytes, "\x7f" "ELF", 4) == 0)
        return parse_as(IMAGE_FILE_ELF, bytes, len, name, image, why, why_size);
    size_t at = 0;
    while (at < len && is_blank(bytes[at]))
        at++;
    if (at < len && bytes[at] == ':')
        return parse_as(IMAGE_FILE_IHEX, bytes, len, name, image, why, why_size);
    if (at + 1 < len && bytes[at] == 'S' && bytes[at + 1] >= '0' && bytes[at + 1] <= '9')
        return parse_as(IMAGE_FILE_SREC, bytes, len, name, image, why, why_size);
    // Firmware always holds bytes outside printable text (its vector table
    // does); a text file that is neither format is a mistake, not an image.
    size_t printable = 0;
    while (printable < len && (is_blank(bytes[printable]) ||
                               (bytes[printable] >= 0x20 && bytes[printable] < 0x7f)))
        printable++;
    if (len > 0 && printable == len) {
        memset(image, 0, sizeof *image);
        snprintf(why, why_size,
                 "%s: a text file, but neither Intel HEX (lines starting with ':') nor "
                 "S-records (lines starting with S0 to S9)",
                 name);
        return -1;
    }
    return parse_as(IMAGE_FILE_RAW, bytes, len, name, image, why, why_size);
}

int image_file_parse_raw(const unsigned char *bytes, size_t len, const char *name,
                         ImageFile *image, char *why, size_t why_size)
{
    return parse_as(IMAGE_FILE_RAW, bytes, len, name, image, why, why_size);
}

int image_file_read(const char *path, ImageFile *image, char *why, size_t why_size)
{
    memset(image, 0, sizeof *image);
    unsigned char *bytes = NULL;
    size_t len = 0;
    if (image_file_load(path, &bytes, &len, why, why_size) != 0)
        return -1;
    char sha[SHA256_HEX_CAPACITY];
    sha256_hex(bytes, len, sha);
    int result = image_file_parse(bytes, len, path, image, why, why_size);
    free(bytes);
    if (result != 0)
        return -1;
    memcpy(image->sha256, sha, sizeof sha);
    image->file_size = (int64_t)len;
    return 0;
}

int image_file_check(const ImageFile *image, const ImageRules *rules, char *why, size_t why_size)
{
    char where[48];
    const char *name = image->name;
    if (image->part_count == 0) {
        snprintf(why, why_size, "%s: empty image: nothing to write", name);
        return -1;
    }
    if (image->low < (uint32_t)IMAGE_BASE) {
        image_file_record_name(image->format, image->parts[0].first_record, where, sizeof where);
        snprintf(why, why_size,
                 "%s: %s%sdata at 0x%08x, below 0x%08x: looks like a full-chip dump including "
                 "the boot loader (or an application linked for 0x08000000); the image must "
                 "hold only the application, linked for 0x%08x",
                 name, where, where[0] != '\0' ? ": " : "", (unsigned)image->low,
                 (unsigned)IMAGE_BASE, (unsigned)IMAGE_BASE);
        return -1;
    }
    if (image->padded_size < 0) {
        snprintf(why, why_size,
                 "%s: the image spans %lld bytes from 0x%08x to 0x%08llx, more than the tool "
                 "can hold (2 GiB)",
                 name, (long long)image->size, (unsigned)IMAGE_BASE,
                 (unsigned long long)image->high);
        return -1;
    }
    uint64_t padded_end = (uint64_t)IMAGE_BASE + (uint64_t)image->padded_size;
    if (padded_end > rules->flash_end) {
        const ImagePart *last = &image->parts[image->part_count - 1];
        image_file_record_name(image->format, last->last_record, where, sizeof where);
        char hint[192] = "";
        if (last->address >= (uint32_t)IMAGE_FILE_SRAM_LOW)
            snprintf(hint, sizeof hint,
                     "; the part from 0x%08x is loaded at a RAM address: give it a load address "
                     "in flash (e.g. AT> FLASH in the linker script)",
                     (unsigned)last->address);
        snprintf(why, why_size,
                 "%s: %s%simage runs past the flash end: its data ends at 0x%08llx, padded to "
                 "whole %d-byte blocks at 0x%08llx, and the flash ends at 0x%08x (%lu bytes "
                 "above the boot loader)%s",
                 name, where, where[0] != '\0' ? " (the last data): " : "",
                 (unsigned long long)image->high, (int)BLOCK_SIZE, (unsigned long long)padded_end,
                 (unsigned)rules->flash_end,
                 (unsigned long)(rules->flash_end - (uint32_t)IMAGE_BASE), hint);
        return -1;
    }
    if (!rules->vector_check)
        return 0;
    const char *skip = " (--no-vector-check to skip this check)";
    uint32_t sp = image->initial_sp, reset = image->reset_vector;
    uint32_t target = reset & ~1u;
    if (sp < (uint32_t)IMAGE_FILE_SRAM_LOW || sp > (uint32_t)IMAGE_FILE_SRAM_HIGH) {
        snprintf(why, why_size,
                 "%s: initial stack pointer 0x%08x lies outside SRAM (0x%08x-0x%08x): no "
                 "Cortex-M vector table at 0x%08x%s",
                 name, (unsigned)sp, (unsigned)IMAGE_FILE_SRAM_LOW, (unsigned)IMAGE_FILE_SRAM_HIGH,
                 (unsigned)IMAGE_BASE, skip);
        return -1;
    }
    if (target < (uint32_t)IMAGE_BASE) {
        snprintf(why, why_size,
                 "%s: reset vector 0x%08x lies below 0x%08x: linked for 0x08000000? the "
                 "application must be linked for 0x%08x",
                 name, (unsigned)reset, (unsigned)IMAGE_BASE, (unsigned)IMAGE_BASE);
        return -1;
    }
    if ((reset & 1) == 0) {
        snprintf(why, why_size,
                 "%s: reset vector 0x%08x is even: a Cortex-M runs Thumb code, bit 0 must be "
                 "set%s",
                 name, (unsigned)reset, skip);
        return -1;
    }
    if (target >= image->high) {
        snprintf(why, why_size, "%s: reset vector 0x%08x points past the image's end 0x%08llx%s",
                 name, (unsigned)reset, (unsigned long long)image->high, skip);
        return -1;
    }
    return 0;
}

int32_t image_file_layout(const ImageFile *image, unsigned char **padded)
{
    if (image->part_count == 0 || image->low < (uint32_t)IMAGE_BASE || image->padded_size < 0)
        return -1;
    unsigned char *out = (unsigned char *)malloc((size_t)image->padded_size);
    if (out == NULL)
        return -1;
    memset(out, 0xFF, (size_t)image->size);
    memset(out + image->size, 0, (size_t)(image->padded_size - image->size));
    for (int32_t i = 0; i < image->part_count; i++) {
        const ImagePart *part = &image->parts[i];
        memcpy(out + (part->address - IMAGE_BASE), image->data + part->offset, part->size);
    }
    *padded = out;
    return image->padded_size;
}

void image_file_free(ImageFile *image)
{
    free(image->parts);
    free(image->data);
    const char *name = image->name;
    memset(image, 0, sizeof *image);
    image->name = name;
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
