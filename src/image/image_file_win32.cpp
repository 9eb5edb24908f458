// Reading an image file on Windows: the path is looked at before it is
// opened, so a directory or a device (COM1, \\.\COM7) is never opened; what
// is opened must be a disk file.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image_file.h"

int image_file_load(const char *path, unsigned char **bytes, size_t *len, char *why,
                    size_t why_size)
{
    // A reserved name (COM1, NUL, CON) is a device wherever it is given: its
    // full path is in the device namespace, \\.\COM1.
    char full[MAX_PATH];
    DWORD full_len = GetFullPathNameA(path, sizeof full, full, NULL);
    if (full_len > 0 && full_len < sizeof full && strncmp(full, "\\\\.\\", 4) == 0) {
        snprintf(why, why_size, "%s: not a regular file (a device)", path);
        return -1;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        snprintf(why, why_size, "%s: cannot be read (error %lu)", path,
                 (unsigned long)GetLastError());
        return -1;
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        snprintf(why, why_size, "%s: not a regular file (%s)", path,
                 attributes & FILE_ATTRIBUTE_DIRECTORY ? "a directory" : "a device");
        return -1;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(why, why_size, "%s: cannot be read (error %lu)", path,
                 (unsigned long)GetLastError());
        return -1;
    }
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        snprintf(why, why_size, "%s: not a regular file (a device or a pipe)", path);
        CloseHandle(file);
        return -1;
    }
    if (size.QuadPart > IMAGE_FILE_MAX_BYTES) {
        snprintf(why, why_size, "%s: %lld bytes, more than any image file (%d MiB)", path,
                 (long long)size.QuadPart, IMAGE_FILE_MAX_BYTES / (1024 * 1024));
        CloseHandle(file);
        return -1;
    }
    // One byte more than the size tells a file that grew while it was read.
    DWORD capacity = (DWORD)size.QuadPart + 1;
    unsigned char *buffer = (unsigned char *)malloc(capacity);
    DWORD got = 0;
    int failed = buffer == NULL;
    while (!failed && got < capacity) {
        DWORD n = 0;
        if (!ReadFile(file, buffer + got, capacity - got, &n, NULL))
            failed = 1;
        if (n == 0)
            break;
        got += n;
    }
    DWORD error = GetLastError();
    CloseHandle(file);
    if (failed || got == capacity) {
        if (buffer == NULL)
            snprintf(why, why_size, "%s: cannot be read: not enough memory", path);
        else if (got == capacity)
            snprintf(why, why_size, "%s: cannot be read: it changed while it was read", path);
        else
            snprintf(why, why_size, "%s: cannot be read (error %lu)", path, (unsigned long)error);
        free(buffer);
        return -1;
    }
    *bytes = buffer;
    *len = got;
    return 0;
}
