#include "image/image.h"

#include <stdlib.h>
#include <string.h>

#include "protocol/report.h"

int32_t padded_image_size(int64_t len)
{
    if (len < 0)
        return -1;
    // ((len - 1) / BLOCK_SIZE + 1) blocks, truncating toward zero, so an
    // empty image still takes one block.
    int64_t blocks = len == 0 ? 1 : (len - 1) / BLOCK_SIZE + 1;
    if (blocks > INT32_MAX / BLOCK_SIZE)
        return -1;
    return (int32_t)(blocks * BLOCK_SIZE);
}

int32_t pad_bytes(const unsigned char *bytes, int64_t len, unsigned char **copy)
{
    int32_t padded = padded_image_size(len);
    if (padded < 0 || (len > 0 && bytes == NULL))
        return -1;
    *copy = (unsigned char *)calloc((size_t)padded, 1);
    if (*copy == NULL)
        return -1;
    if (len > 0)
        memcpy(*copy, bytes, (size_t)len);
    return padded;
}

int pad_image(DeviceLink *link, const unsigned char *bytes, int64_t len)
{
    unsigned char *copy = NULL;
    int32_t padded = pad_bytes(bytes, len, &copy);
    if (padded < 0)
        return -1;
    // Never written afterwards, never freed: it lives as long as the process.
    link->image = copy;
    link->image_size = padded;
    link->base = IMAGE_BASE;
    trace_image_layout(link);
    return 0;
}

void trace_image_layout(const DeviceLink *link)
{
    report_trace(link->settings.report, "\nFlash Image Base %#x\n", (unsigned)link->base);
    report_trace(link->settings.report, "Flash Image Size %#x bytes\n",
                 (unsigned)link->image_size);
}
