// libFuzzer target: the image reader on any file.
//
// Input layout:
//
//   byte 0     bit 0: parse as raw (the embedded image's way) instead of by
//              content; bit 1: the vector check on; bits 2-4: the format
//              choice (0 auto, 1 bin, 2 hex, 3 srec, 4 elf; more is auto)
//   the rest   the file
//
// Properties: no crash; what the reader holds stays within the input's
// worth (run with -malloc_limit_mb to catch any larger single allocation);
// every accepted parse has sorted, disjoint, non-empty parts inside 32-bit
// space that account for every loaded byte; a file whose first 4 KiB is all
// printable ASCII and blanks is never taken as raw unless forced; a refusal
// in a format says how it was told; NOLOAD notes lie within the loaded
// bytes and are bounded; and a checked image lays out within the flash
// window, its parts in place, gaps 0xFF, padding zeros.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_check.h"
#include "image/image.h"
#include "image/image_file.h"

namespace {

const uint32_t FLASH_END = 0x08100000;

void check_parts(const ImageFile *image, size_t len)
{
    int64_t loaded = 0;
    uint64_t previous_end = 0;
    for (int32_t i = 0; i < image->part_count; i++) {
        const ImagePart *part = &image->parts[i];
        uint64_t end = (uint64_t)part->address + part->size;
        FUZZ_REQUIRE(part->size > 0);
        FUZZ_REQUIRE(end <= 0x100000000ull);
        FUZZ_REQUIRE(i == 0 || part->address > previous_end);  // sorted, neither overlap nor touch
        FUZZ_REQUIRE(part->offset == (uint64_t)loaded);
        loaded += part->size;
        previous_end = end;
    }
    FUZZ_REQUIRE(loaded == image->loaded);
    FUZZ_REQUIRE((size_t)loaded <= len);
    FUZZ_REQUIRE(image->held <= 8 * len + 1024);
    if (image->part_count > 0) {
        FUZZ_REQUIRE(image->low == image->parts[0].address);
        FUZZ_REQUIRE(image->high == previous_end);
    }
    FUZZ_REQUIRE(image->noload_count >= 0 && image->noload_count <= IMAGE_FILE_NOLOAD_NOTES);
    FUZZ_REQUIRE(image->noload_more == 0 || image->noload_count == IMAGE_FILE_NOLOAD_NOTES);
    for (int32_t i = 0; i < image->noload_count; i++) {
        const ImageNoload *note = &image->noload[i];
        FUZZ_REQUIRE(image->format == IMAGE_FILE_ELF && note->size > 0);
        FUZZ_REQUIRE(note->address >= image->low &&
                     (uint64_t)note->address + note->size <= image->high);
        FUZZ_REQUIRE(memchr(note->section, '\0', sizeof note->section) != NULL);
    }
}

// Whether the first 4 KiB of the file are printable ASCII and blanks only.
int ascii_text(const unsigned char *file, size_t len)
{
    for (size_t at = 0; at < len && at < 4096; at++)
        if (!(file[at] >= 0x20 && file[at] < 0x7f) && !(file[at] >= '\t' && file[at] <= '\r'))
            return 0;
    return 1;
}

void check_layout(const ImageFile *image)
{
    unsigned char *padded = NULL;
    int32_t size = image_file_layout(image, &padded);
    FUZZ_REQUIRE(size > 0 && size % BLOCK_SIZE == 0);
    FUZZ_REQUIRE((uint64_t)IMAGE_BASE + (uint32_t)size <= FLASH_END);
    FUZZ_REQUIRE(size == padded_image_size(image->size));
    int64_t covered = 0, gaps = 0;
    uint32_t next = IMAGE_BASE;  // the end of the part before
    for (int32_t i = 0; i < image->part_count; i++) {
        const ImagePart *part = &image->parts[i];
        for (uint32_t at = next; at < part->address; at++, gaps++)
            FUZZ_REQUIRE(padded[at - IMAGE_BASE] == 0xFF);
        FUZZ_REQUIRE(memcmp(padded + (part->address - IMAGE_BASE), image->data + part->offset,
                            part->size) == 0);
        covered += part->size;
        next = part->address + part->size;
    }
    FUZZ_REQUIRE(gaps == image->gap_bytes);
    FUZZ_REQUIRE(covered + gaps == image->size);
    for (int32_t at = (int32_t)image->size; at < size; at++)
        FUZZ_REQUIRE(padded[at] == 0);
    free(padded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int raw = data[0] & 1;
    ImageRules rules = {FLASH_END, (data[0] >> 1) & 1};
    int chosen = (data[0] >> 2) & 7;
    ImageFormatChoice choice = chosen <= IMAGE_FORMAT_ELF ? (ImageFormatChoice)chosen
                                                          : IMAGE_FORMAT_AUTO;
    const unsigned char *file = data + 1;
    size_t len = size - 1;

    ImageFile image;
    char why[IMAGE_FILE_WHY_CAPACITY];
    why[0] = '\0';
    int parsed = raw ? image_file_parse_raw(file, len, "fuzz", &image, why, sizeof why)
                     : image_file_parse(file, len, "fuzz", &image, why, sizeof why, choice);
    if (parsed != 0) {
        FUZZ_REQUIRE(parsed == -1 && why[0] != '\0');
        FUZZ_REQUIRE(image.parts == NULL && image.data == NULL && image.part_count == 0);
        if (!raw && choice != IMAGE_FORMAT_AUTO)
            FUZZ_REQUIRE(strstr(why, "(the format was forced)") != NULL);
        return 0;
    }
    check_parts(&image, len);
    if (!raw && choice == IMAGE_FORMAT_AUTO && len > 0 && ascii_text(file, len))
        FUZZ_REQUIRE(image.format == IMAGE_FILE_IHEX || image.format == IMAGE_FILE_SREC);
    if (image_file_check(&image, &rules, why, sizeof why) == 0)
        check_layout(&image);
    image_file_free(&image);
    return 0;
}
