// fwu-devsim's line: a pseudo-terminal of its own (the tool opens the far
// end), or a real serial device, at 115200 8E1; and the symlink to it.
#include "devsim_line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// Raw 8E1 at 115200, no flow control, nothing echoed or translated.
static int set_raw_8e1(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return -1;
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARODD | CRTSCTS);
    t.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY | INPCK);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0)
        return -1;
    return tcsetattr(fd, TCSANOW, &t);
}

static int set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int devsim_open_pty(DevsimLine *line)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        perror("fwu-devsim: posix_openpt");
        return -1;
    }
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, line->path, sizeof line->path) != 0) {
        perror("fwu-devsim: preparing the pseudo-terminal");
        close(master);
        return -1;
    }
    // Holding the far end open ourselves keeps the master from seeing a
    // hangup while no tool has it open, and across the tool closing and
    // reopening it.
    int slave = open(line->path, O_RDWR | O_NOCTTY);
    if (slave < 0 || set_raw_8e1(slave) != 0 || set_nonblocking(master) != 0) {
        perror("fwu-devsim: setting up the far end");
        if (slave >= 0)
            close(slave);
        close(master);
        return -1;
    }
    line->fd = master;
    line->slave_fd = slave;
    return 0;
}

int devsim_open_device(DevsimLine *line, const char *path)
{
    if (strlen(path) >= sizeof line->path) {
        fprintf(stderr, "fwu-devsim: device path too long\n");
        return -1;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "fwu-devsim: %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (!isatty(fd) || set_raw_8e1(fd) != 0) {
        fprintf(stderr, "fwu-devsim: %s: not a serial line that takes 115200 8E1\n", path);
        close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    tcflush(fd, TCIOFLUSH);
    snprintf(line->path, sizeof line->path, "%s", path);
    line->fd = fd;
    line->slave_fd = -1;
    return 0;
}

int devsim_make_link(DevsimLine *line, const char *link_path)
{
    struct stat st;
    if (lstat(link_path, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "fwu-devsim: %s exists and is not a symlink; left alone\n", link_path);
            return -1;
        }
        unlink(link_path);
    }
    if (symlink(line->path, link_path) != 0) {
        fprintf(stderr, "fwu-devsim: symlink %s: %s\n", link_path, strerror(errno));
        return -1;
    }
    line->link_path = link_path;
    return 0;
}

// Removes the symlink only while it is still ours.
void devsim_remove_link(DevsimLine *line)
{
    if (line->link_path == NULL)
        return;
    char target[DEVSIM_PATH_CAPACITY];
    ssize_t n = readlink(line->link_path, target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (strcmp(target, line->path) == 0)
            unlink(line->link_path);
    }
    line->link_path = NULL;
}
