// The image as the native build carries it: the same file, compiled in as a
// byte array generated at build time (embedded_image.h).
#include "image/image.h"

#include "image/embedded_image.h"

#include <stdio.h>

int find_embedded_image(const unsigned char **bytes, int64_t *len, char *, size_t)
{
    *bytes = embedded_image;
    *len = embedded_image_size;
    return 0;
}

int load_image(DeviceLink *link, char *why, size_t why_size)
{
    if (pad_image(link, embedded_image, embedded_image_size) != 0) {
        snprintf(why, why_size, "Not enough memory for the firmware image");
        return -1;
    }
    return 0;
}
