// Opening and reading an image file on Windows: the path is looked at before
// it is opened, so a directory or a device (COM1, \\.\COM7) is never opened;
// what is opened must be a disk file. The checks and refusals are
// image_file_load's.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "image/image_file_internal.h"

namespace image_file_internal {

OpenOutcome open_regular(const char *path, intptr_t *file, int64_t *size, const char **kind)
{
    // A reserved name (COM1, NUL, CON) is a device wherever it is given: its
    // full path is in the device namespace, \\.\COM1.
    char full[MAX_PATH];
    DWORD full_len = GetFullPathNameA(path, sizeof full, full, NULL);
    if (full_len > 0 && full_len < sizeof full && strncmp(full, "\\\\.\\", 4) == 0) {
        *kind = "a device";
        return NOT_REGULAR;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return OPEN_FAILED;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        *kind = attributes & FILE_ATTRIBUTE_DIRECTORY ? "a directory" : "a device";
        return NOT_REGULAR;
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return OPEN_FAILED;
    LARGE_INTEGER bytes;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &bytes)) {
        CloseHandle(handle);
        *kind = "a device or a pipe";
        return NOT_REGULAR;
    }
    *file = (intptr_t)handle;
    *size = (int64_t)bytes.QuadPart;
    return OPENED;
}

int64_t read_file(intptr_t file, unsigned char *buffer, size_t n)
{
    DWORD got = 0;
    DWORD want = n > 0x40000000 ? 0x40000000 : (DWORD)n;
    if (!ReadFile((HANDLE)file, buffer, want, &got, NULL))
        return -1;
    return (int64_t)got;
}

void close_file(intptr_t file)
{
    CloseHandle((HANDLE)file);
}

void system_error(char *text, size_t size)
{
    snprintf(text, size, "error %lu", (unsigned long)GetLastError());
}

}  // namespace image_file_internal
