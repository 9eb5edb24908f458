// The clock and the child processes of the testkit: every child a test or
// the benchmark starts goes through start_child, so each dies with its
// parent and is stopped and reaped by its own PID.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "testkit.h"

namespace testkit {

void sleep_until_ms(double when_ms)
{
    if (when_ms <= 0)
        return;
    struct timespec t;
    t.tv_sec = (time_t)(when_ms / 1000.0);
    t.tv_nsec = (long)((when_ms - (double)t.tv_sec * 1000.0) * 1e6);
    if (t.tv_nsec < 0)
        t.tv_nsec = 0;
    if (t.tv_nsec > 999999999L)
        t.tv_nsec = 999999999L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
    }
}

pid_t start_child(const std::vector<std::string> &argv, int stdout_fd, int stderr_fd,
                  int death_signal)
{
    if (argv.empty())
        return -1;
    // Everything the child needs is made before the fork: after it, only
    // calls that are safe in a forked child.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(NULL);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid < 0 ? -1 : pid;

    prctl(PR_SET_PDEATHSIG, death_signal);
    if (getppid() != parent)  // the parent died before prctl took effect
        _exit(127);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0)
        _exit(127);
    if (stdout_fd >= 0 && dup2(stdout_fd, STDOUT_FILENO) < 0)
        _exit(127);
    if (stderr_fd >= 0 && dup2(stderr_fd, STDERR_FILENO) < 0)
        _exit(127);
    execv(args[0], args.data());
    _exit(127);
}

int wait_child(pid_t pid, int timeout_ms, int *status)
{
    if (pid <= 0)
        return -1;
    double deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return 0;
        if (r < 0 && errno != EINTR)
            return -1;
        if (monotonic_ms() >= deadline)
            return -1;
        sleep_until_ms(monotonic_ms() + 10);
    }
}

void kill_child(pid_t pid, int *status)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace testkit
