// The image a front end writes, as its options choose it: a file (--image
// FILE, read as --format says) or the image embedded in the program, held to
// the same checks (--no-vector-check, --flash-end) and, for the embedded
// one, refused when it is the bundled sample (unless --allow-sample). The
// command line and the Linux screen take these options alike, so they read,
// check, refuse and lay out the image here, in the same words.
//
// Conventions of the image layer (image.h): 0 for success, -1 for failure
// with the reason in the caller's buffer; nothing here prints.
#ifndef FWU_IMAGE_IMAGE_CHOICE_H
#define FWU_IMAGE_IMAGE_CHOICE_H

#include <stddef.h>
#include <stdint.h>

#include "image/image_file.h"
#include "protocol/engine.h"

enum {
    // A refusal: "--image " and the reader's reason (IMAGE_FILE_WHY_CAPACITY).
    IMAGE_CHOICE_WHY_CAPACITY = IMAGE_FILE_WHY_CAPACITY + 64
};

// What the options asked for.
struct ImageChoice {
    const char *path;          // --image FILE; NULL or "": the embedded image
    ImageFormatChoice format;  // --format (the embedded image is raw whatever it says)
    int vector_check;          // 0 after --no-vector-check
    int allow_sample;          // --allow-sample
    uint32_t flash_end;        // --flash-end (exclusive)
};

// The image as it goes from the reader to the link: what names it, the
// reader's record of it (format and why, size, padded size, gap bytes,
// SHA-256), and the padded bytes laid out from it.
struct ChosenImage {
    const char *name;       // the path as given (the choice's), or "embedded"
    ImageFile file;         // as read and checked (sha256: the file's, or the embedded bytes')
    uint16_t crc;           // CRC-16 of the padded image
    unsigned char *padded;  // file.padded_size bytes, written from IMAGE_BASE
};

// The choice with no options given: the embedded image, told by content,
// the vector check on, the sample refused, the build's flash end.
void image_choice_defaults(ImageChoice *choice);

// 1 when this build embeds the bundled sample rather than device firmware.
int image_embeds_sample(void);

// 1 when load_chosen_image refuses choice for the bundled sample alone: the
// embedded image (as raw binary), this build embeds the sample, and
// --allow-sample was not given.
int image_choice_refuses_sample(const ImageChoice *choice);

// --flash-end's value: an address ("0x08100000", "135266304") above
// IMAGE_BASE and within 32 bits, into *flash_end. Returns 0, or -1 (*flash_end
// left alone).
int image_parse_flash_end(const char *text, uint32_t *flash_end);

// Reads, checks and lays out the image choice names into *image. Returns 0,
// or -1 with the refusal in why (image then holds nothing):
//   "this build carries the bundled sample image (res/firmware.bin), ..."
//   "--image app.hex: read as Intel HEX (...): line 7: bad checksum ..."
//   "the embedded image: ... vector table ..."  (unless built without that check)
//   "--format hex is for --image FILE: the embedded image is raw binary"
//   "not enough memory for the image"
int load_chosen_image(const ImageChoice *choice, ChosenImage *image, char *why,
                      size_t why_size);

// Frees what image holds and empties it.
void free_chosen_image(ChosenImage *image);

// The one line that names the image: "image app.hex: Intel HEX, 2056 bytes
// from 0x08004000, padded to 3072, CRC-16 0x1234, SHA-256 ...".
void chosen_image_line(const ChosenImage *image, char *text, size_t size);

// Gives link the image: its padded bytes, padded size and base, and its own
// size (what a verify compares) in the link's settings. The image must
// outlive the link's updates.
void put_chosen_image(DeviceLink *link, const ChosenImage *image);

#endif
