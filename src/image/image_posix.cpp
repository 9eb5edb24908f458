// The image as the native build carries it: the same file, compiled in as a
// byte array generated at build time (embedded_image.h).
#include "image/image.h"

#include "image/embedded_image.h"

int find_embedded_image(const unsigned char **bytes, int64_t *len, const char **why)
{
    (void)why;
    *bytes = embedded_image;
    *len = embedded_image_size;
    return 0;
}

int load_image(DeviceLink *link, const char **why)
{
    if (pad_image(link, embedded_image, embedded_image_size) != 0) {
        *why = "Not enough memory for the firmware image";
        return -1;
    }
    return 0;
}
