// Opening and reading an image file on POSIX systems: the path is looked at
// before it is opened, so a FIFO is never waited on and a device never
// opened; what is opened is looked at again, so a file swapped in meanwhile
// is refused too. The checks and refusals are image_file_load's.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image_file_internal.h"

namespace image_file_internal {
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

OpenOutcome open_regular(const char *path, intptr_t *file, int64_t *size, const char **kind)
{
    struct stat before;
    if (stat(path, &before) != 0)
        return OPEN_FAILED;
    if (!S_ISREG(before.st_mode)) {
        *kind = kind_of(before.st_mode);
        return NOT_REGULAR;
    }
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        errno = error;
        return OPEN_FAILED;
    }
    if (!S_ISREG(opened.st_mode)) {
        close(fd);
        *kind = kind_of(opened.st_mode);
        return NOT_REGULAR;
    }
    *file = fd;
    *size = (int64_t)opened.st_size;
    return OPENED;
}

int64_t read_file(intptr_t file, unsigned char *buffer, size_t n)
{
    for (;;) {
        ssize_t got = read((int)file, buffer, n);
        if (got >= 0 || errno != EINTR)
            return (int64_t)got;
    }
}

void close_file(intptr_t file)
{
    close((int)file);
}

void system_error(char *text, size_t size)
{
    snprintf(text, size, "%s", strerror(errno));
}

}  // namespace image_file_internal
