// Reading an image file on Windows: the path's attributes are looked at
// before it is opened, so a directory or a device (COM1) is never opened;
// what is opened must be a disk file.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "image/image_file.h"

int image_file_load(const char *path, unsigned char **bytes, size_t *len, char *why,
                    size_t why_size)
{
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
