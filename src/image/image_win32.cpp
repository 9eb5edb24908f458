// The image as the Windows tool carries it: resource "BINFILE" of type
// RT_RCDATA in the executable itself.
#include <windows.h>

#include "image/image.h"

#include <stdio.h>

// 1 when count bytes from p lie inside the loaded executable. The size comes
// from the resource directory of the file, which is not trusted further
// than the image the loader mapped.
static int inside_module(HMODULE module, const void *p, DWORD count)
{
    const unsigned char *base = (const unsigned char *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0)
        return 0;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return 0;
    uintptr_t low = (uintptr_t)base;
    uintptr_t high = low + nt->OptionalHeader.SizeOfImage;
    uintptr_t at = (uintptr_t)p;
    return at >= low && at <= high && count <= high - at;
}

int find_embedded_image(const unsigned char **bytes, int64_t *len, char *why, size_t why_size)
{
    HRSRC found = FindResourceA(NULL, "BINFILE", RT_RCDATA);
    if (found == NULL) {
        snprintf(why, why_size, "The firmware image (resource BINFILE) is missing from this program");
        return -1;
    }
    // The executable that started the process: the same module as the
    // instance handle the dialog was given.
    HMODULE module = GetModuleHandleA(NULL);
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    const void *locked = loaded != NULL ? LockResource(loaded) : NULL;
    if (locked == NULL) {
        snprintf(why, why_size, "The firmware image (resource BINFILE) could not be loaded");
        return -1;
    }
    if (padded_image_size(size) < 0 || !inside_module(module, locked, size)) {
        SetLastError(ERROR_INVALID_DATA);
        snprintf(why, why_size, "The firmware image (resource BINFILE) has an impossible size");
        return -1;
    }
    *bytes = (const unsigned char *)locked;
    *len = size;
    return 0;
}

int load_image(DeviceLink *link, char *why, size_t why_size)
{
    const unsigned char *bytes = NULL;
    int64_t len = 0;
    if (find_embedded_image(&bytes, &len, why, why_size) != 0)
        return -1;
    if (pad_image(link, bytes, len) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        snprintf(why, why_size, "Not enough memory for the firmware image");
        return -1;
    }
    return 0;
}
