// Lock files for the ports this process opens, as terminal programs take
// them, so that a terminal program, modem tool or second fwu that honours
// them leaves the port alone, and fwu leaves theirs alone.
//
// Every lock taken is also entered in a fixed table, so that it can be
// removed on any exit: at close_port, at exit() (atexit), and from a signal
// handler (remove_port_locks, which reads the table without its lock).
#include "serial/posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

enum {
    HELD_LOCKS = 64,         // more than the command line's 32 ports
    LOCK_TEXT_CAPACITY = 64  // more than any lock file holds
};

// One lock file held. path is written before in_use is set (release), and
// in_use is cleared before path changes, so a signal handler on any thread
// that sees in_use (acquire) sees a whole path.
struct HeldLock {
    char path[LOCK_PATH_CAPACITY];
    std::atomic<int> in_use;
};
static_assert(ATOMIC_INT_LOCK_FREE == 2, "a lock-free flag, for the signal path");

static HeldLock held_locks[HELD_LOCKS];
static pthread_mutex_t held_locks_lock = PTHREAD_MUTEX_INITIALIZER;
static int exit_hook_set;
static char lock_directory[LOCK_PATH_CAPACITY];  // "" for the default

void set_lock_directory(const char *dir)
{
    pthread_mutex_lock(&held_locks_lock);
    if (dir == NULL || strlen(dir) >= sizeof lock_directory)
        lock_directory[0] = '\0';
    else
        memcpy(lock_directory, dir, strlen(dir) + 1);
    pthread_mutex_unlock(&held_locks_lock);
}

// ---------------------------------------------------------------------------
// Reading a lock file (also from a signal handler: system calls only)

// The PID a lock file holds: ten ASCII digits (spaces before them) and a
// newline, or the older four-byte binary form. 0 when it holds none.
static long parse_lock_pid(const char *text, ssize_t n)
{
    ssize_t i = 0;
    while (i < n && text[i] == ' ')
        ++i;
    long pid = 0;
    ssize_t digits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9' && digits < 10) {
        pid = pid * 10 + (text[i] - '0');
        ++i;
        ++digits;
    }
    int ends = i == n || text[i] == '\n' || text[i] == ' ';
    if (digits > 0 && ends && pid > 0 && pid <= INT_MAX)
        return pid;
    if (n == 4) {
        // Byte by byte: no library call on the signal path.
        union {
            char bytes[4];
            int32_t value;
        } binary;
        for (int k = 0; k < 4; ++k)
            binary.bytes[k] = text[k];
        if (binary.value > 0)
            return binary.value;
    }
    return 0;
}

// The PID in the lock file at path: >0 the PID, 0 none in it, -1 the file
// could not be read (errno says why).
static long read_lock_pid(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    char text[LOCK_TEXT_CAPACITY];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    close(fd);
    if (n < 0) {
        errno = saved;
        return -1;
    }
    return parse_lock_pid(text, n);
}

// Removes the lock file at path when it names this process.
static void remove_if_ours(const char *path)
{
    if (read_lock_pid(path) == (long)getpid())
        (void)unlink(path);
}

void remove_port_locks(void)
{
    int saved = errno;
    for (int i = 0; i < HELD_LOCKS; ++i)
        if (held_locks[i].in_use.load(std::memory_order_acquire))
            remove_if_ours(held_locks[i].path);
    errno = saved;
}

// ---------------------------------------------------------------------------
// Taking a lock

// The lock file's path for the device open on fd: its real name under /dev
// with '/' as '_' (/dev/pts/3: LCK..pts_3), or its last component when it
// is not under /dev. 0, or -1 when it does not fit.
static int lock_path_for(int fd, const char *name, char *out, size_t size)
{
    char link[64], real[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, real, sizeof real - 1);
    if (n > 0 && real[0] == '/') {
        real[n] = '\0';
    } else if (strlen(name) < sizeof real) {
        memcpy(real, name, strlen(name) + 1);
    } else {
        return -1;
    }

    char device[PATH_MAX];
    if (strncmp(real, "/dev/", 5) == 0 && real[5] != '\0') {
        memcpy(device, real + 5, strlen(real + 5) + 1);
        for (char *c = device; *c != '\0'; ++c)
            if (*c == '/')
                *c = '_';
    } else {
        const char *last = strrchr(real, '/');
        last = last != NULL ? last + 1 : real;
        if (*last == '\0')
            return -1;
        memcpy(device, last, strlen(last) + 1);
    }

    char dir[LOCK_PATH_CAPACITY];
    pthread_mutex_lock(&held_locks_lock);
    memcpy(dir, lock_directory, sizeof dir);
    pthread_mutex_unlock(&held_locks_lock);
    if (dir[0] == '\0') {
        struct stat st;
        const char *run = "/run/lock";
        snprintf(dir, sizeof dir, "%s",
                 stat(run, &st) == 0 && S_ISDIR(st.st_mode) ? run : "/var/lock");
    }
    int len = snprintf(out, size, "%s/LCK..%s", dir, device);
    return len > 0 && (size_t)len < size ? 0 : -1;
}

// 1 when the process pid exists (whoever owns it).
static int process_alive(long pid)
{
    return kill((pid_t)pid, 0) == 0 || errno == EPERM;
}

// Writes a new file at path holding our PID. 0; -1 with errno (EEXIST:
// there is one already).
static int write_pid_file(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    char text[16];
    int len = snprintf(text, sizeof text, "%10ld\n", (long)getpid());
    ssize_t n;
    do {
        n = write(fd, text, (size_t)len);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    if (close(fd) != 0 && n == len) {
        saved = errno;
        n = -1;
    }
    if (n != len) {
        (void)unlink(path);
        errno = n < 0 ? saved : ENOSPC;
        return -1;
    }
    return 0;
}

// Creates the lock file at path with our PID, whole or not at all: the PID
// goes into a file of our own first, which is then linked to the lock's
// name, so nobody ever reads the lock empty. Where the file system has no
// links, the lock is created in place. 0; -1 with errno (EEXIST: there is
// one already).
static int create_lock_file(const char *path)
{
    static std::atomic<unsigned> serial{0};
    char own[LOCK_PATH_CAPACITY + 32];
    int len = snprintf(own, sizeof own, "%s.%ld.%u", path, (long)getpid(),
                       serial.fetch_add(1) % 100000u);
    if (len <= 0 || (size_t)len >= sizeof own)
        return write_pid_file(path);
    if (write_pid_file(own) != 0)
        return -1;
    int linked = link(own, path);
    int saved = errno;
    (void)unlink(own);
    if (linked == 0)
        return 0;
    if (saved == EEXIST) {
        errno = EEXIST;
        return -1;
    }
    return write_pid_file(path);
}

// 1 when path is a lock this process holds now. Call with the table's lock.
static int held_here(const char *path)
{
    for (int i = 0; i < HELD_LOCKS; ++i)
        if (held_locks[i].in_use.load(std::memory_order_relaxed) &&
            strcmp(held_locks[i].path, path) == 0)
            return 1;
    return 0;
}

// Enters path in the table of locks held. The slot, or -1 when it is full.
// Call with the table's lock.
static int enter_held_lock(const char *path)
{
    int slot = -1;
    for (int i = 0; i < HELD_LOCKS && slot < 0; ++i) {
        if (held_locks[i].in_use.load(std::memory_order_relaxed))
            continue;
        slot = i;
        memcpy(held_locks[i].path, path, strlen(path) + 1);
        held_locks[i].in_use.store(1, std::memory_order_release);
    }
    if (slot >= 0 && !exit_hook_set)
        exit_hook_set = atexit(remove_port_locks) == 0;
    return slot;
}

// 1 when the file at path changed in the last few seconds: a lock with no
// PID in it yet may be one that another program is still writing.
static int recently_changed(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && time(NULL) - st.st_mtime < 5;
}

static void lock_note(char *note, size_t size, const char *path, const char *why)
{
    snprintf(note, size,
             "No lock file %s (%s): other programs that honour lock files are not "
             "kept out; flock and TIOCEXCL still are",
             path, why);
}

// take_port_lock's work, with the table's lock held.
static PortLockResult take_lock_file(PortLock *lock, char *note, size_t note_size)
{
    // A lock left by a process that is gone is removed and the lock taken;
    // once only, so two programs cannot take turns removing each other's.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (create_lock_file(lock->path) == 0) {
            lock->slot = enter_held_lock(lock->path);
            if (lock->slot >= 0)
                return LOCK_TAKEN;
            (void)unlink(lock->path);
            lock_note(note, note_size, lock->path, "too many ports held");
            return LOCK_UNAVAILABLE;
        }
        if (errno != EEXIST) {
            // Not writable (EACCES, EROFS, ENOENT for a missing directory,
            // ...): the port is still kept exclusive by flock and TIOCEXCL.
            lock_note(note, note_size, lock->path, strerror(errno));
            return LOCK_UNAVAILABLE;
        }
        long pid = read_lock_pid(lock->path);
        if (pid < 0 && errno == ENOENT)
            continue;  // removed meanwhile
        if (pid < 0 && errno != ELOOP) {
            // A lock we cannot read: someone holds it, we cannot tell who.
            errno = EBUSY;
            return LOCK_HELD;
        }
        // Ours only while the table holds it: a process that died without
        // removing its lock may have had our PID (PID 1 in a container).
        int ours = pid == (long)getpid();
        if ((ours && held_here(lock->path)) || (pid > 0 && !ours && process_alive(pid)) ||
            (pid == 0 && recently_changed(lock->path))) {
            lock->holder = pid;
            errno = EBUSY;
            return LOCK_HELD;
        }
        if (attempt == 1)
            break;
        // Stale: no PID in it for a while, a process that has ended, or a link.
        if (unlink(lock->path) != 0 && errno != ENOENT) {
            lock_note(note, note_size, lock->path, strerror(errno));
            return LOCK_UNAVAILABLE;
        }
    }
    errno = EBUSY;
    return LOCK_HELD;
}

PortLockResult take_port_lock(int fd, const char *name, PortLock *lock, char *note,
                              size_t note_size)
{
    lock->slot = -1;
    lock->holder = 0;
    if (lock_path_for(fd, name, lock->path, sizeof lock->path) != 0) {
        lock->path[0] = '\0';
        snprintf(note, note_size, "No lock file for %s: its name is too long", name);
        return LOCK_UNAVAILABLE;
    }

    // The command line's threads take their locks one at a time, so that a
    // lock naming this process is one of the table's or else stale.
    pthread_mutex_lock(&held_locks_lock);
    PortLockResult result = take_lock_file(lock, note, note_size);
    int saved = errno;
    pthread_mutex_unlock(&held_locks_lock);
    errno = saved;
    return result;
}

void release_port_lock(PortLock *lock)
{
    if (lock->slot < 0 || lock->slot >= HELD_LOCKS)
        return;
    pthread_mutex_lock(&held_locks_lock);
    HeldLock *held = &held_locks[lock->slot];
    remove_if_ours(held->path);
    held->in_use.store(0, std::memory_order_release);
    pthread_mutex_unlock(&held_locks_lock);
    lock->slot = -1;
}
