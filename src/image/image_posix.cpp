// The image as the native build carries it: the same file, compiled in as a
// byte array generated at build time (embedded_image.h).
#include "image/image.h"

#include "image/embedded_image.h"

int load_image(DeviceLink *link, const char **why)
{
    if (pad_image(link, embedded_image, embedded_image_size) != 0) {
        *why = "Not enough memory for the firmware image";
        return -1;
    }
    return 0;
}
