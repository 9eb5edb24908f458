// The command line's system services on Linux and other POSIX systems.
#include "cli/cli_platform.h"
#include "serial/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// Threads and the lock

struct CliThreadStart {
    CliThreadMain fn;
    void *argument;
    pthread_t id;
};

enum { CLI_THREAD_STARTS = 64 };
static CliThreadStart thread_starts[CLI_THREAD_STARTS];
static int thread_starts_used;

static void *thread_entry(void *start)
{
    CliThreadStart *s = (CliThreadStart *)start;
    s->fn(s->argument);
    return NULL;
}

int cli_start_thread(CliThread *thread, CliThreadMain fn, void *argument)
{
    // Called from the main thread only; each start record lives as long as
    // the process.
    if (thread_starts_used >= CLI_THREAD_STARTS)
        return -1;
    CliThreadStart *s = &thread_starts[thread_starts_used];
    s->fn = fn;
    s->argument = argument;
    if (pthread_create(&s->id, NULL, thread_entry, s) != 0)
        return -1;
    thread_starts_used++;
    thread->handle = s;
    return 0;
}

void cli_join_thread(CliThread *thread)
{
    CliThreadStart *s = (CliThreadStart *)thread->handle;
    if (s == NULL)
        return;
    pthread_join(s->id, NULL);
    thread->handle = NULL;
}

static pthread_mutex_t shared_lock = PTHREAD_MUTEX_INITIALIZER;

void cli_lock(void)
{
    pthread_mutex_lock(&shared_lock);
}

void cli_unlock(void)
{
    pthread_mutex_unlock(&shared_lock);
}

// ---------------------------------------------------------------------------
// Stopping

static volatile sig_atomic_t stop_signal;

static void on_stop_signal(int sig)
{
    if (stop_signal != 0) {
        // Asked twice: the updates did not stop in time. The ports close
        // with the process; their lock files are removed here.
        remove_port_locks();
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    stop_signal = sig;
}

void cli_install_stop_handlers(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGHUP, &action, NULL);
    // A closed standard output or log is a failed write, not the end.
    signal(SIGPIPE, SIG_IGN);
}

int cli_stop_requested(void)
{
    int sig = stop_signal;
    if (sig == 0)
        return 0;
    return 128 + sig;  // 130 for SIGINT, 143 for SIGTERM
}

// ---------------------------------------------------------------------------
// Clocks

void cli_utc_timestamp(char *text, size_t size)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    gmtime_r(&now.tv_sec, &parts);
    snprintf(text, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
             now.tv_nsec / 1000000);
}

void cli_sleep_ms(uint32_t ms)
{
    struct timespec wait;
    wait.tv_sec = ms / 1000;
    wait.tv_nsec = (long)(ms % 1000) * 1000000;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR && !stop_signal) {
    }
}

// ---------------------------------------------------------------------------
// The terminal

int cli_stderr_is_live_terminal(void)
{
    if (!isatty(STDERR_FILENO))
        return 0;
    const char *term = getenv("TERM");
    return term != NULL && term[0] != '\0' && strcmp(term, "dumb") != 0;
}

int cli_stderr_columns(void)
{
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20)
        return size.ws_col;
    return 80;
}

int cli_stdout_columns(void)
{
    struct winsize size;
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
}

// ---------------------------------------------------------------------------
// Errors in words

const char *cli_platform_name(void)
{
    static char name[2 * sizeof(((struct utsname *)0)->sysname) + 2];
    struct utsname u;
    if (name[0] == '\0') {
        if (uname(&u) == 0)
            snprintf(name, sizeof name, "%.*s %.*s", (int)sizeof u.sysname, u.sysname,
                     (int)sizeof u.machine, u.machine);
        else
            snprintf(name, sizeof name, "posix");
    }
    return name;
}

// ---------------------------------------------------------------------------
// Records and what identifies a run

int cli_stdin_is_terminal(void)
{
    return isatty(STDIN_FILENO);
}

void cli_host_name(char *text, size_t size)
{
    if (size == 0)
        return;
    text[0] = '\0';
    char name[256];
    if (gethostname(name, sizeof name) == 0) {
        name[sizeof name - 1] = '\0';
        snprintf(text, size, "%s", name);
    }
}

void cli_run_id(char *text, size_t size)
{
    unsigned char bytes[16];
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? read(fd, bytes, sizeof bytes) : -1;
    if (fd >= 0)
        close(fd);
    if (got != (ssize_t)sizeof bytes) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t mix = (uint64_t)now.tv_sec * 1000000007u ^ (uint64_t)now.tv_nsec ^
                       (uint64_t)getpid() << 32;
        for (size_t i = 0; i < sizeof bytes; ++i) {
            mix = mix * 6364136223846793005u + 1442695040888963407u;
            bytes[i] = (unsigned char)(mix >> 56);
        }
    }
    for (size_t i = 0; i < sizeof bytes && 2 * i + 2 < size; ++i)
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
}

// ---------------------------------------------------------------------------
// Output files

static void facts_of(const struct stat *st, CliFileFacts *facts)
{
    mode_t mode = st->st_mode;
    facts->kind = S_ISREG(mode)                    ? CLI_FILE_REGULAR
                  : S_ISDIR(mode)                  ? CLI_FILE_DIRECTORY
                  : S_ISFIFO(mode)                 ? CLI_FILE_FIFO
                  : S_ISCHR(mode) || S_ISBLK(mode) ? CLI_FILE_DEVICE
                                                   : CLI_FILE_OTHER;
    facts->identified = 1;
    facts->volume = (uint64_t)st->st_dev;
    facts->index = (uint64_t)st->st_ino;
}

void cli_path_facts(const char *path, CliFileFacts *facts)
{
    memset(facts, 0, sizeof *facts);
    struct stat st;
    if (lstat(path, &st) != 0) {
        facts->kind = errno == ENOENT ? CLI_FILE_ABSENT : CLI_FILE_UNKNOWN;
        return;
    }
    facts->link = S_ISLNK(st.st_mode);
    if (facts->link && stat(path, &st) != 0) {
        facts->kind = errno == ENOENT ? CLI_FILE_ABSENT : CLI_FILE_UNKNOWN;  // a link to nothing
        return;
    }
    facts_of(&st, facts);
}

void cli_stdout_facts(CliFileFacts *facts)
{
    memset(facts, 0, sizeof *facts);
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) == 0)
        facts_of(&st, facts);
}

FILE *cli_open_record_file(const char *path, CliFileFacts *opened, char *why, size_t why_size)
{
    memset(opened, 0, sizeof *opened);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ENXIO)
            snprintf(why, why_size, "a FIFO that nothing reads (fwu does not wait for a reader)");
        else
            snprintf(why, why_size, "%s", strerror(errno));
        return NULL;
    }
    struct stat st;
    if (fstat(fd, &st) == 0)
        facts_of(&st, opened);
    // Writes may wait again (a slow reader, a full disk reports itself).
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *f = fdopen(fd, "a");
    if (f == NULL) {
        snprintf(why, why_size, "%s", strerror(errno));
        close(fd);
    }
    return f;
}

FILE *cli_create_beside(const char *path, char *temp, size_t temp_size, char *why,
                        size_t why_size)
{
    const char *slash = strrchr(path, '/');
    int dir_len = slash != NULL ? (int)(slash - path) + 1 : 0;
    int n = snprintf(temp, temp_size, "%.*s.%s.XXXXXX", dir_len, path,
                     slash != NULL ? slash + 1 : path);
    if (n < 0 || (size_t)n >= temp_size) {
        snprintf(why, why_size, "its name is too long");
        return NULL;
    }
    // The file keeps the permissions it had; a new one gets what the umask gives.
    struct stat st;
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = stat(path, &st) == 0 ? st.st_mode & 07777 : 0666 & ~mask;
    int fd = mkostemp(temp, O_CLOEXEC);
    FILE *f = fd >= 0 && fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : NULL;
    if (f == NULL) {
        snprintf(why, why_size, "%s", strerror(errno));
        if (fd >= 0) {
            close(fd);
            unlink(temp);
        }
    }
    return f;
}

int cli_close_synced(FILE *f)
{
    int failed = fflush(f) != 0 || ferror(f) || fsync(fileno(f)) != 0;
    return fclose(f) != 0 || failed ? -1 : 0;
}

int cli_replace_file(const char *temp, const char *path, char *why, size_t why_size)
{
    if (rename(temp, path) == 0)
        return 0;
    snprintf(why, why_size, "%s", strerror(errno));
    return -1;
}
