// The image a front end's options choose, read, checked and laid out in one
// place (image_choice.h). FWU_EMBEDS_SAMPLE and FWU_EMBEDDED_VECTOR_CHECK
// come from the build: whether it embeds the bundled sample, and whether the
// embedded image is held to the vector check (an image released without it
// is not).
#include "image/image_choice.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image.h"
#include "protocol/frame.h"

namespace {

// The embedded image parsed as raw bytes into *image, with their SHA-256
// (a file's is the reader's). Returns 0, or -1 with the reason in why.
int parse_embedded(ImageFile *image, char *why, size_t why_size)
{
    const unsigned char *bytes = NULL;
    int64_t len = 0;
    if (find_embedded_image(&bytes, &len, why, why_size) != 0)
        return -1;
    if (image_file_parse_raw(bytes, (size_t)len, "the embedded image", image, why, why_size) != 0)
        return -1;
    sha256_hex(bytes, (size_t)len, image->sha256);
    return 0;
}

// 1 when the choice names a file, 0 for the embedded image.
int from_file(const ImageChoice *choice)
{
    return choice->path != NULL && choice->path[0] != '\0';
}

// 1 when --format can be the embedded image's: auto or bin.
int raw_format(const ImageChoice *choice)
{
    return choice->format == IMAGE_FORMAT_AUTO || choice->format == IMAGE_FORMAT_BIN;
}

// The embedded image, unless the choice cannot take it. Returns 0, or -1
// with the refusal in why.
int read_embedded(const ImageChoice *choice, ImageFile *file, char *why, size_t why_size)
{
    if (!raw_format(choice)) {
        snprintf(why, why_size, "--format %s is for --image FILE: the embedded image is raw binary",
                 image_format_choice_name(choice->format));
        return -1;
    }
    if (image_choice_refuses_sample(choice)) {
        snprintf(why, why_size,
                 "this build carries the bundled sample image (res/firmware.bin), not device "
                 "firmware: give the application with --image FILE (binary, Intel HEX, "
                 "S-records or ELF), or --allow-sample to write the sample anyway");
        return -1;
    }
    return parse_embedded(file, why, why_size);
}

}  // namespace

void image_choice_defaults(ImageChoice *choice)
{
    memset(choice, 0, sizeof *choice);
    choice->path = NULL;
    choice->format = IMAGE_FORMAT_AUTO;
    choice->vector_check = 1;
    choice->flash_end = FWU_FLASH_END;
}

int image_embeds_sample(void)
{
    return FWU_EMBEDS_SAMPLE;
}

int image_choice_refuses_sample(const ImageChoice *choice)
{
    return !from_file(choice) && raw_format(choice) && image_embeds_sample() &&
           !choice->allow_sample;
}

int image_parse_flash_end(const char *text, uint32_t *flash_end)
{
    if (text == NULL || text[0] == '\0' || text[0] == '-' || text[0] == '+')
        return -1;
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == NULL || *end != '\0' || v > 0xFFFFFFFFull || v <= IMAGE_BASE)
        return -1;
    *flash_end = (uint32_t)v;
    return 0;
}

int load_chosen_image(const ImageChoice *choice, ChosenImage *out, char *why, size_t why_size)
{
    memset(out, 0, sizeof *out);
    char reason[IMAGE_FILE_WHY_CAPACITY];
    int file = from_file(choice);
    int read;
    if (file) {
        out->name = choice->path;
        read = image_file_read(choice->path, &out->file, reason, sizeof reason, choice->format);
    } else {
        out->name = "embedded";
        read = read_embedded(choice, &out->file, reason, sizeof reason);
    }
    // An embedded image released without the vector check is not held to it.
    int embedded_check = file || FWU_EMBEDDED_VECTOR_CHECK;
    ImageRules rules = {choice->flash_end, choice->vector_check && embedded_check};
    if (read != 0 || image_file_check(&out->file, &rules, reason, sizeof reason) != 0) {
        snprintf(why, why_size, "%s%s", file ? "--image " : "", reason);
        if (read == 0)
            image_file_free(&out->file);
        return -1;
    }
    if (image_file_layout(&out->file, &out->padded) < 0) {
        snprintf(why, why_size, "not enough memory for the image");
        image_file_free(&out->file);
        return -1;
    }
    out->crc = crc16(out->padded, out->file.padded_size);
    return 0;
}

void free_chosen_image(ChosenImage *image)
{
    free(image->padded);
    image->padded = NULL;
    image_file_free(&image->file);
}

void chosen_image_line(const ChosenImage *image, char *text, size_t size)
{
    snprintf(text, size,
             "image %s: %s, %lld bytes from 0x%08x, padded to %ld, CRC-16 %#06x, SHA-256 %s",
             image->name, image_file_format_title(image->file.format),
             (long long)image->file.size, (unsigned)IMAGE_BASE, (long)image->file.padded_size,
             (unsigned)image->crc, image->file.sha256);
}

void put_chosen_image(DeviceLink *link, const ChosenImage *image)
{
    link->image = image->padded;
    link->image_size = image->file.padded_size;
    link->base = IMAGE_BASE;
    link->settings.image_own_size = (int32_t)image->file.size;
}
