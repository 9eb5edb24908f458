// Firmware images read from files, checked as strictly as a linker would
// check its input: raw binary, Intel HEX, Motorola S-records and ELF32
// little-endian ARM, told apart by their content, never by their name.
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

enum {
    IMAGE_FILE_MAX_BYTES = 256 * 1024 * 1024,  // larger files are refused unread
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

struct ImageFile {
    const char *name;  // for messages; the caller's text, kept while this is used
    ImageFileFormat format;
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

    char sha256[SHA256_HEX_CAPACITY];  // of the file's bytes ("" when not from a file)
    int64_t file_size;
    size_t held;  // bytes this record holds allocated
};

struct ImageRules {
    uint32_t flash_end;  // exclusive; the padded image must end at or below it
    int vector_check;    // 1: a Cortex-M vector table must lie at IMAGE_BASE
};

// Reads the regular file at path (at most IMAGE_FILE_MAX_BYTES) and parses
// it; image->name is path. Returns 0, or -1 with the reason in why, naming
// the file and where applicable the line or record. A FIFO, a device or a
// directory is refused without being read (nor, on POSIX, opened).
int image_file_read(const char *path, ImageFile *image, char *why, size_t why_size);

// Parses len bytes in the format their content tells. Text that is neither
// Intel HEX nor S-records is refused, never taken as raw. Returns 0, or -1
// with the reason in why (image then holds nothing).
int image_file_parse(const unsigned char *bytes, size_t len, const char *name, ImageFile *image,
                     char *why, size_t why_size);

// The same for bytes known to be raw whatever they hold (an embedded image).
int image_file_parse_raw(const unsigned char *bytes, size_t len, const char *name,
                         ImageFile *image, char *why, size_t why_size);

// Whether the parsed image may be written into a device: not empty, nothing
// below IMAGE_BASE (the boot loader), padded within rules->flash_end, and
// unless rules->vector_check is 0, a Cortex-M vector table at IMAGE_BASE.
// Returns 0, or -1 with the reason in why.
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
