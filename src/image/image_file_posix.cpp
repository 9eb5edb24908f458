// Reading an image file on POSIX systems: the path is looked at before it is
// opened, so a FIFO is never waited on and a device never opened; what is
// opened is looked at again, so a file swapped in meanwhile is refused too.
#include "image/image_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

}  // namespace

int image_file_load(const char *path, unsigned char **bytes, size_t *len, char *why,
                    size_t why_size)
{
    struct stat before;
    if (stat(path, &before) != 0) {
        snprintf(why, why_size, "%s: cannot be read: %s", path, strerror(errno));
        return -1;
    }
    if (!S_ISREG(before.st_mode)) {
        snprintf(why, why_size, "%s: not a regular file (%s)", path, kind_of(before.st_mode));
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0) {
        snprintf(why, why_size, "%s: cannot be read: %s", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!S_ISREG(opened.st_mode)) {
        snprintf(why, why_size, "%s: not a regular file (%s)", path, kind_of(opened.st_mode));
        close(fd);
        return -1;
    }
    if (opened.st_size > IMAGE_FILE_MAX_BYTES) {
        snprintf(why, why_size, "%s: %lld bytes, more than any image file (%d MiB)", path,
                 (long long)opened.st_size, IMAGE_FILE_MAX_BYTES / (1024 * 1024));
        close(fd);
        return -1;
    }
    // One byte more than the size tells a file that grew while it was read.
    size_t capacity = (size_t)opened.st_size + 1;
    unsigned char *buffer = (unsigned char *)malloc(capacity);
    size_t got = 0;
    int failed = buffer == NULL;
    while (!failed && got < capacity) {
        ssize_t n = read(fd, buffer + got, capacity - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failed = 1;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    int error = errno;
    close(fd);
    if (failed || got == capacity) {
        snprintf(why, why_size, "%s: cannot be read: %s", path,
                 buffer == NULL ? "not enough memory"
                 : got == capacity ? "it changed while it was read"
                                   : strerror(error));
        free(buffer);
        return -1;
    }
    *bytes = buffer;
    *len = got;
    return 0;
}
