// The firmware image that travels inside the executable, padded with zeros
// to whole blocks and placed at IMAGE_BASE.
//
// Conventions of the image layer: functions return 0 for success and -1 for
// failure, with a short reason as text where a caller shows one; sizes are
// returned as counts, -1 when out of range.
#ifndef FWU_IMAGE_IMAGE_H
#define FWU_IMAGE_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include "protocol/engine.h"

// Padded size of an image of len bytes: a whole number of BLOCK_SIZE blocks,
// at least one. Returns -1 when len is negative or the result would not fit
// a signed 32-bit size.
int32_t padded_image_size(int64_t len);

// Copies len bytes into a new zero-filled buffer of the padded size, in
// *copy (the caller frees it). Returns the padded size, or -1 when len is
// out of range or memory ran out.
int32_t pad_bytes(const unsigned char *bytes, int64_t len, unsigned char **copy);

// Copies len bytes into a new zero-filled buffer of the padded size and puts
// it in link (image, image_size, base), then traces base and size.
// Returns 0, or -1 when len is out of range or memory ran out (link unchanged).
int pad_image(DeviceLink *link, const unsigned char *bytes, int64_t len);

// Traces where link's image lies, as the tools do at start-up: "Flash
// Image Base 0x8004000" and "Flash Image Size 0x19400 bytes" (padded).
void trace_image_layout(const DeviceLink *link);

// The embedded image as it is stored, before padding: its bytes (read-only,
// kept until the process ends) and length. Returns 0, or -1 with a short
// reason in why when it is missing or impossible.
int find_embedded_image(const unsigned char **bytes, int64_t *len, char *why, size_t why_size);

// Finds the embedded image and pads it into link. Returns 0, or -1 with a
// short reason in why when the image is missing or cannot be held.
int load_image(DeviceLink *link, char *why, size_t why_size);

#endif
