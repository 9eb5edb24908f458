// The image a command-line run writes, read through the image reader
// (image/image_file.h), and `image FILE`, which shows what would be written.
#ifndef FWU_CLI_CLI_IMAGE_H
#define FWU_CLI_CLI_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include "image/image_file.h"
#include "image/sha256.h"
#include "cli/cli.h"

// What is written, and the facts that name it at the start of a run, in its
// JSON objects and in its log.
struct CliImage {
    char name[CLI_PATH_CAPACITY];  // the file as given, or "embedded"
    ImageFileFormat format;
    int64_t size;                  // from 0x08004000 to the end of its data
    int32_t padded_size;
    int64_t gap_bytes;             // filled with 0xFF
    uint16_t crc;                  // CRC-16 of the padded image
    char sha256[SHA256_HEX_CAPACITY];
    unsigned char *padded;         // the padded image (the caller frees it)
};

// 1 when this build embeds the bundled sample rather than device firmware.
int cli_embeds_sample(void);

// Reads, checks and lays out the image o names (--image, else the embedded
// one, which is refused when it is the bundled sample, unless
// --allow-sample). Returns 0, or -1 with the reason printed.
int cli_load_image(const CliOptions *o, CliImage *image);

// The one line that names the image: "app.hex: Intel HEX, 2056 bytes, ...".
void cli_image_line(const CliImage *image, char *text, size_t size);

// `image FILE`: what would be written, and the verdict. Returns the exit status.
int cli_run_image(const CliOptions *o);

#endif
