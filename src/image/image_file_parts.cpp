// The parsed image as parts: the chunks sorted and merged into disjoint
// extents (overlaps must agree), the vector table read through the gaps,
// the verdict on whether the image may be written, the layout with its gaps
// filled, and freeing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image.h"
#include "image/image_file.h"
#include "image/image_file_internal.h"

namespace image_file_internal {
namespace {

int compare_chunks(const void *a, const void *b)
{
    const Chunk *x = (const Chunk *)a, *y = (const Chunk *)b;
    if (x->address != y->address)
        return x->address < y->address ? -1 : 1;
    return x->offset < y->offset ? -1 : x->offset > y->offset ? 1 : 0;
}

// The byte at address in the parts: 0xFF in a gap below high, 0 above it
// (the padding).
unsigned char byte_at(const ImageFile *image, uint32_t address)
{
    for (int32_t i = 0; i < image->part_count; i++) {
        const ImagePart *part = &image->parts[i];
        if (address >= part->address && address - part->address < part->size)
            return image->data[part->offset + (address - part->address)];
    }
    return address < image->high ? 0xFF : 0x00;
}

uint32_t word_at(const ImageFile *image, uint32_t address)
{
    uint32_t word = 0;
    for (int i = 3; i >= 0; i--)
        word = word << 8 | byte_at(image, address + (uint32_t)i);
    return word;
}

}  // namespace

// Sorts the chunks and merges them into image's parts. Returns 0, or -1 when
// two chunks disagree where they overlap.
int merge(Parse *p, ImageFile *image)
{
    Chunks *c = &p->chunks;
    if (c->count > 0)
        qsort(c->list, (size_t)c->count, sizeof *c->list, compare_chunks);
    image->parts = (ImagePart *)malloc((size_t)(c->count > 0 ? c->count : 1) * sizeof(ImagePart));
    image->data = (unsigned char *)malloc(c->used > 0 ? c->used : 1);
    if (image->parts == NULL || image->data == NULL)
        return refuse(p, "not enough memory to read the image");
    image->held = (size_t)(c->count > 0 ? c->count : 1) * sizeof(ImagePart) +
                  (c->used > 0 ? c->used : 1);
    size_t used = 0;
    ImagePart *part = NULL;
    for (int32_t i = 0; i < c->count; i++) {
        const Chunk *k = &c->list[i];
        const unsigned char *bytes = c->data + k->offset;
        uint64_t part_end = part != NULL ? (uint64_t)part->address + part->size : 0;
        if (part == NULL || k->address > part_end) {
            part = &image->parts[image->part_count++];
            part->address = k->address;
            part->size = 0;
            part->offset = (uint32_t)used;
            part->first_record = k->record;
            part->last_record = k->record;
            part_end = k->address;
        }
        // Where this chunk overlaps what is already there, the bytes must agree.
        uint32_t overlap = (uint32_t)(part_end - k->address);
        if (overlap > k->size)
            overlap = k->size;
        const unsigned char *there = image->data + part->offset + (k->address - part->address);
        for (uint32_t j = 0; j < overlap; j++) {
            if (there[j] == bytes[j])
                continue;
            uint32_t at = k->address + j;
            // The earlier chunk that holds this address, for the message.
            uint32_t other = 0;
            for (int32_t e = i - 1; e >= 0; e--)
                if (at >= c->list[e].address && at - c->list[e].address < c->list[e].size) {
                    other = c->list[e].record;
                    break;
                }
            uint32_t later = other > k->record ? other : k->record;
            uint32_t earlier = other > k->record ? k->record : other;
            char a[48], b[48];
            image_file_record_name(p->format, later, a, sizeof a);
            image_file_record_name(p->format, earlier, b, sizeof b);
            return refuse(p, "%s: the data at 0x%08x overlaps %s and differs from it (0x%02x "
                          "against 0x%02x)",
                          a, (unsigned)at, b, bytes[j], there[j]);
        }
        if (k->size > overlap) {
            memcpy(image->data + used, bytes + overlap, k->size - overlap);
            used += k->size - overlap;
            part->size += k->size - overlap;
            part->last_record = k->record;
        }
    }
    image->loaded = (int64_t)used;
    if (image->part_count > 0) {
        const ImagePart *last = &image->parts[image->part_count - 1];
        image->low = image->parts[0].address;
        image->high = (uint64_t)last->address + last->size;
    }
    if (image->low >= (uint32_t)IMAGE_BASE && image->part_count > 0) {
        image->size = (int64_t)(image->high - IMAGE_BASE);
        image->gap_bytes = image->size - image->loaded;
        image->padded_size = padded_image_size(image->size);
    } else {
        image->padded_size = -1;
    }
    image->initial_sp = word_at(image, IMAGE_BASE);
    image->reset_vector = word_at(image, IMAGE_BASE + 4);
    return 0;
}

}  // namespace image_file_internal

using namespace image_file_internal;

int image_file_check(const ImageFile *image, const ImageRules *rules, char *why, size_t why_size)
{
    char where[48];
    if (image->part_count == 0)
        return refuse_image(image, why, why_size, "empty image: nothing to write");
    if (image->low < (uint32_t)IMAGE_BASE) {
        image_file_record_name(image->format, image->parts[0].first_record, where, sizeof where);
        return refuse_image(image, why, why_size,
                            "%s%sdata at 0x%08x, below 0x%08x: looks like a full-chip dump "
                            "including the boot loader (or an application linked for "
                            "0x08000000); the image must hold only the application, linked "
                            "for 0x%08x",
                            where, where[0] != '\0' ? ": " : "", (unsigned)image->low,
                            (unsigned)IMAGE_BASE, (unsigned)IMAGE_BASE);
    }
    if (image->padded_size < 0)
        return refuse_image(image, why, why_size,
                            "the image spans %lld bytes from 0x%08x to 0x%08llx, more than the "
                            "tool can hold (2 GiB)",
                            (long long)image->size, (unsigned)IMAGE_BASE,
                            (unsigned long long)image->high);
    uint64_t padded_end = (uint64_t)IMAGE_BASE + (uint64_t)image->padded_size;
    if (padded_end > rules->flash_end) {
        const ImagePart *last = &image->parts[image->part_count - 1];
        image_file_record_name(image->format, last->last_record, where, sizeof where);
        char hint[192] = "";
        if (last->address >= (uint32_t)IMAGE_FILE_SRAM_LOW)
            snprintf(hint, sizeof hint,
                     "; the part from 0x%08x is loaded at a RAM address: give it a load address "
                     "in flash (e.g. AT> FLASH in the linker script)",
                     (unsigned)last->address);
        return refuse_image(image, why, why_size,
                            "%s%simage runs past the flash end: its data ends at 0x%08llx, "
                            "padded to whole %d-byte blocks at 0x%08llx, and the flash ends at "
                            "0x%08x (%lu bytes above the boot loader)%s",
                            where, where[0] != '\0' ? " (the last data): " : "",
                            (unsigned long long)image->high, (int)BLOCK_SIZE,
                            (unsigned long long)padded_end, (unsigned)rules->flash_end,
                            (unsigned long)(rules->flash_end - (uint32_t)IMAGE_BASE), hint);
    }
    if (!rules->vector_check)
        return 0;
    const char *skip = " (--no-vector-check to skip this check)";
    uint32_t sp = image->initial_sp, reset = image->reset_vector;
    uint32_t target = reset & ~1u;
    if (sp < (uint32_t)IMAGE_FILE_SRAM_LOW || sp > (uint32_t)IMAGE_FILE_SRAM_HIGH)
        return refuse_image(image, why, why_size,
                            "initial stack pointer 0x%08x lies outside SRAM (0x%08x-0x%08x): "
                            "no Cortex-M vector table at 0x%08x%s",
                            (unsigned)sp, (unsigned)IMAGE_FILE_SRAM_LOW,
                            (unsigned)IMAGE_FILE_SRAM_HIGH, (unsigned)IMAGE_BASE, skip);
    if (target < (uint32_t)IMAGE_BASE)
        return refuse_image(image, why, why_size,
                            "reset vector 0x%08x lies below 0x%08x: linked for 0x08000000? the "
                            "application must be linked for 0x%08x",
                            (unsigned)reset, (unsigned)IMAGE_BASE, (unsigned)IMAGE_BASE);
    if ((reset & 1) == 0)
        return refuse_image(image, why, why_size,
                            "reset vector 0x%08x is even: a Cortex-M runs Thumb code, bit 0 "
                            "must be set%s",
                            (unsigned)reset, skip);
    if (target >= image->high)
        return refuse_image(image, why, why_size,
                            "reset vector 0x%08x points past the image's end 0x%08llx%s",
                            (unsigned)reset, (unsigned long long)image->high, skip);
    return 0;
}

int32_t image_file_layout(const ImageFile *image, unsigned char **padded)
{
    if (image->part_count == 0 || image->low < (uint32_t)IMAGE_BASE || image->padded_size < 0)
        return -1;
    unsigned char *out = (unsigned char *)malloc((size_t)image->padded_size);
    if (out == NULL)
        return -1;
    memset(out, 0xFF, (size_t)image->size);
    memset(out + image->size, 0, (size_t)(image->padded_size - image->size));
    for (int32_t i = 0; i < image->part_count; i++) {
        const ImagePart *part = &image->parts[i];
        memcpy(out + (part->address - IMAGE_BASE), image->data + part->offset, part->size);
    }
    *padded = out;
    return image->padded_size;
}

void image_file_free(ImageFile *image)
{
    free(image->parts);
    free(image->data);
    const char *name = image->name;
    memset(image, 0, sizeof *image);
    image->name = name;
}
