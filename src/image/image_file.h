// Firmware images read from files, checked as strictly as a linker would
// check its input: raw binary, Intel HEX, Motorola S-records and ELF32
// little-endian ARM, told apart by their content (or as the caller forces),
// never by their name.
//
// How the content is told (image_file_guess.cpp): an ELF header makes ELF.
// UTF-16 and UTF-32 text (a byte-order mark, or every other or every fourth
// byte zero around ASCII) is refused. A UTF-8 byte-order mark is skipped and
// makes the file text; so does a first non-blank line that is all text
// (printable ASCII, blanks, well-formed UTF-8), or 9 in 10 of the first
// 4 KiB being text. Text is Intel HEX (':' first), S-records (S0-S9 first)
// or refused; never raw. Anything else is raw, whatever its first byte.
//
// Reading keeps the loaded parts as extents (address, size, bytes); nothing
// is allocated for the flash window. Laying the image out for the device
// (image_file_layout) takes as much memory as the image spans, and only
// after image_file_check has bounded that by the flash end.
#ifndef FWU_IMAGE_IMAGE_FILE_H
#define FWU_IMAGE_IMAGE_FILE_H

#include <stddef.h>
#include <stdint.h>

#include "image/sha256.h"

enum ImageFileFormat {
    IMAGE_FILE_NONE = 0,
    IMAGE_FILE_RAW,   // lies in flash from IMAGE_BASE
    IMAGE_FILE_IHEX,  // record types 00-05
    IMAGE_FILE_SREC,  // S0-S9 (S4 is reserved and refused)
    IMAGE_FILE_ELF    // its PT_LOAD segments, p_filesz bytes at p_paddr
};

// What the caller asks the file to be read as: told by its content, or forced.
enum ImageFormatChoice {
    IMAGE_FORMAT_AUTO = 0,
    IMAGE_FORMAT_BIN,
    IMAGE_FORMAT_HEX,
    IMAGE_FORMAT_SREC,
    IMAGE_FORMAT_ELF
};

enum {
    IMAGE_FILE_MAX_BYTES = 256 * 1024 * 1024,  // larger files are refused unread
    IMAGE_FILE_FORMAT_WHY_CAPACITY = 80,       // ImageFile.format_why
    IMAGE_FILE_NOLOAD_NOTES = 8,               // ImageFile.noload
    IMAGE_FILE_SECTION_NAME_CAPACITY = 24,     // ImageNoload.section
    IMAGE_FILE_WHY_CAPACITY = 2048,            // a path and any reason below
    IMAGE_FILE_SRAM_LOW = 0x20000000,          // where a Cortex-M's initial SP may point
    IMAGE_FILE_SRAM_HIGH = 0x3FFFFFFF
};

// One loaded part: size bytes from address, kept at data + offset. Parts are
// sorted by address, neither overlap nor touch, and end within 32 bits.
struct ImagePart {
    uint32_t address;
    uint32_t size;          // > 0
    uint32_t offset;        // into ImageFile.data
    uint32_t first_record;  // the line (HEX, S-records) or program header (ELF)
    uint32_t last_record;   //   of its first and last byte
};

// ELF: a NOLOAD (SHT_NOBITS) section that lies inside a segment's bytes in
// the file. The segment's bytes are written there (the linker's filler,
// usually 0x00), where objcopy -O binary leaves a gap.
struct ImageNoload {
    uint32_t address;  // where in flash (the load address)
    uint32_t size;     // > 0
    uint32_t record;   // the program header
    int fill;          // the value of every byte written there, or -1 when they differ
    char section[IMAGE_FILE_SECTION_NAME_CAPACITY];  // printable ASCII, cut short; "" unnamed
};

struct ImageFile {
    const char *name;  // for messages; the caller's text, kept while this is used
    ImageFileFormat format;
    // Why the file was read as format: "the first line is text starting ':'",
    // "the format was forced", ...; "" for bytes given as raw. Refusals
    // name it: "NAME: read as Intel HEX (the first line is ...): reason".
    char format_why[IMAGE_FILE_FORMAT_WHY_CAPACITY];
    ImagePart *parts;
    int32_t part_count;
    unsigned char *data;
    int64_t loaded;        // bytes in all parts
    uint32_t low;          // the lowest loaded address
    uint64_t high;         // the end of the highest loaded byte (exclusive)

    // From IMAGE_BASE, meaningful when low >= IMAGE_BASE:
    int64_t size;          // to high
    int64_t gap_bytes;     // not loaded below high: 0xFF (erased flash)
    int32_t padded_size;   // whole blocks; -1 when a signed 32-bit size cannot hold it
    uint32_t initial_sp;   // the first two words at IMAGE_BASE, little-endian
    uint32_t reset_vector;

    // ELF only: the NOLOAD sections written as their segment's bytes, the
    // first IMAGE_FILE_NOLOAD_NOTES of them in the order of the section
    // headers, and how many more there are.
    ImageNoload noload[IMAGE_FILE_NOLOAD_NOTES];
    int32_t noload_count;
    int32_t noload_more;

    char sha256[SHA256_HEX_CAPACITY];  // of the file's bytes ("" when not from a file)
    int64_t file_size;
    size_t held;  // bytes this record holds allocated
};

struct ImageRules {
    uint32_t flash_end;  // exclusive; the padded image must end at or below it
    int vector_check;    // 1: a Cortex-M vector table must lie at IMAGE_BASE
};

// "auto", "bin", "hex", "srec" or "elf" (exactly, lower case) into *choice.
// Returns 0, or -1 for any other text (*choice left alone).
int image_format_choice(const char *text, ImageFormatChoice *choice);

// The word for choice, as image_format_choice takes it ("hex").
const char *image_format_choice_name(ImageFormatChoice choice);

// Reads the regular file at path (at most IMAGE_FILE_MAX_BYTES) and parses
// it as image_file_parse does; image->name is path. Returns 0, or -1 with
// the reason in why, naming the file and where applicable the line or
// record. A FIFO, a device or a directory is refused without being read
// (nor, on POSIX, opened).
int image_file_read(const char *path, ImageFile *image, char *why, size_t why_size,
                    ImageFormatChoice choice = IMAGE_FORMAT_AUTO);

// Parses len bytes in the format their content tells (IMAGE_FORMAT_AUTO),
// or in the one chosen. Returns 0, or -1 with the reason in why (image then
// holds nothing); a refusal in a format names it and why it was read so.
int image_file_parse(const unsigned char *bytes, size_t len, const char *name, ImageFile *image,
                     char *why, size_t why_size, ImageFormatChoice choice = IMAGE_FORMAT_AUTO);

// The same for bytes known to be raw whatever they hold (an embedded image).
int image_file_parse_raw(const unsigned char *bytes, size_t len, const char *name,
                         ImageFile *image, char *why, size_t why_size);

// Whether the parsed image may be written into a device: not empty, nothing
// below IMAGE_BASE (the boot loader), padded within rules->flash_end, and
// unless rules->vector_check is 0, a Cortex-M vector table at IMAGE_BASE.
// Returns 0, or -1 with the reason in why (naming the format and why, as a
// parse refusal does).
int image_file_check(const ImageFile *image, const ImageRules *rules, char *why,
                     size_t why_size);

// The image as it is written from IMAGE_BASE: gaps 0xFF, then zeros to whole
// blocks, in a new buffer in *padded (the caller frees it). Returns the
// padded size, or -1 when the image does not start at or above IMAGE_BASE,
// cannot be held in a signed 32-bit size, or memory ran out.
int32_t image_file_layout(const ImageFile *image, unsigned char **padded);

// Frees what image holds and empties it.
void image_file_free(ImageFile *image);

// "binary", "ihex", "srec", "elf" (what the release kit records), and the
// words for people: "raw binary", "Intel HEX", ...
const char *image_file_format_name(ImageFileFormat format);
const char *image_file_format_title(ImageFileFormat format);

// "line 12", "program header 1" or "" (raw) for a record of the image.
void image_file_record_name(ImageFileFormat format, uint32_t record, char *text, size_t size);

// Loads the whole regular file at path into a new buffer (per platform:
// image_file_posix.cpp, image_file_win32.cpp). Returns 0, or -1 with the
// reason in why.
int image_file_load(const char *path, unsigned char **bytes, size_t *len, char *why,
                    size_t why_size);

#endif
