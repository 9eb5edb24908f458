// The image a command-line run writes, read through the image reader
// (image/image_file.h), and `image FILE`, which shows what would be written.
#ifndef FWU_CLI_CLI_IMAGE_H
#define FWU_CLI_CLI_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include "image/image_file.h"
#include "image/sha256.h"
#include "cli/cli.h"

// What a run writes and what names it, from the reader to the link: the
// reader's record of the image (format, size, padded size, gap bytes,
// SHA-256), held for the run, and the padded bytes laid out from it.
struct CliImage {
    const char *name;       // the file as given, or "embedded"
    ImageFile file;         // as read and checked (sha256: the file's, or the embedded bytes')
    uint16_t crc;           // CRC-16 of the padded image
    unsigned char *padded;  // file.padded_size bytes, written from IMAGE_BASE
};

// 1 when this build embeds the bundled sample rather than device firmware.
int cli_embeds_sample(void);

// Reads, checks and lays out the image o names (--image, else the embedded
// one, which is refused when it is the bundled sample, unless
// --allow-sample). Returns 0, or -1 with the reason printed (image then
// holds nothing).
int cli_load_image(const CliOptions *o, CliImage *image);

// Frees what image holds.
void cli_free_image(CliImage *image);

// The one line that names the image: "app.hex: Intel HEX, 2056 bytes, ...".
void cli_image_line(const CliImage *image, char *text, size_t size);

// `image FILE`: what would be written, and the verdict. Returns the exit status.
int cli_run_image(const CliOptions *o);

#endif
