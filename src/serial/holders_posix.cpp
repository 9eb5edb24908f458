// Who else holds a serial device without a lock file: a look through
// /proc for a process with a descriptor open on the same device node, and
// its name as one printable line (the name is the process's own choice).
#include "serial/posix_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The decimal number that is all of text, or -1.
static long whole_number(const char *text)
{
    long value = 0;
    int digits = 0;
    for (; *text != '\0'; ++text, ++digits) {
        if (*text < '0' || *text > '9' || digits >= 9)
            return -1;
        value = value * 10 + (*text - '0');
    }
    return digits > 0 ? value : -1;
}

long find_other_holder(const char *proc_root, dev_t rdev, char *command, size_t command_size)
{
    if (command != NULL && command_size > 0)
        command[0] = '\0';
    DIR *processes = opendir(proc_root);
    if (processes == NULL)
        return 0;
    const long self = (long)getpid();
    long holder = 0;
    char path[PATH_MAX];
    for (struct dirent *p = readdir(processes); p != NULL && holder == 0; p = readdir(processes)) {
        long pid = whole_number(p->d_name);
        if (pid <= 0 || pid == self)
            continue;
        snprintf(path, sizeof path, "%s/%s/fd", proc_root, p->d_name);
        DIR *fds = opendir(path);  // another user's: not readable, not seen
        if (fds == NULL)
            continue;
        for (struct dirent *f = readdir(fds); f != NULL; f = readdir(fds)) {
            if (whole_number(f->d_name) < 0)
                continue;
            // Only descriptors on device nodes are looked at (a stat of
            // anything else might wait on a stuck network file system).
            struct stat st;
            char target[16];
            int n = snprintf(path, sizeof path, "%s/%s/fd/%s", proc_root, p->d_name, f->d_name);
            if (n <= 0 || (size_t)n >= sizeof path)
                continue;
            ssize_t t = readlink(path, target, sizeof target - 1);
            if (t < 5 || strncmp(target, "/dev/", 5) != 0)
                continue;
            if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                holder = pid;
                break;
            }
        }
        closedir(fds);
    }
    closedir(processes);

    if (holder > 0 && command != NULL && command_size > 0) {
        snprintf(path, sizeof path, "%s/%ld/comm", proc_root, holder);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ssize_t n = read(fd, command, command_size - 1);
            close(fd);
            if (n < 0)
                n = 0;
            command[n] = '\0';
            // One printable line: the name is the process's own choice.
            for (ssize_t i = 0; i < n; ++i) {
                if (command[i] == '\n') {
                    command[i] = '\0';
                    break;
                }
                if (command[i] < 0x20 || command[i] > 0x7e)
                    command[i] = '?';
            }
        }
    }
    return holder;
}
