// The firmware image compiled into the native build: a source file generated
// from FWU_FIRMWARE_IMAGE by embed_image at build time.
#ifndef FWU_IMAGE_EMBEDDED_IMAGE_H
#define FWU_IMAGE_EMBEDDED_IMAGE_H

#include <stdint.h>

extern const unsigned char embedded_image[];
extern const int64_t embedded_image_size;

#endif
