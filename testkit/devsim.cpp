// fwu-devsim as a process of a test: started through start_child with its
// standard output on a pipe, whose first line names the far end of its line.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testkit.h"

namespace testkit {

namespace {

enum {
    FIRST_LINE_MS = 10000,
    OUTPUT_CAPACITY = 1 << 20  // what is kept of its output; the rest is read and dropped
};

// Reads what is there; returns false at end of file.
bool drain_pipe(DevsimProcess *p, int wait_ms)
{
    if (p->out_fd < 0)
        return false;
    struct pollfd fd = {p->out_fd, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0)
        return true;
    char buf[4096];
    ssize_t n = read(p->out_fd, buf, sizeof buf);
    if (n > 0) {
        if (p->output.size() < OUTPUT_CAPACITY)
            p->output.append(buf, (size_t)n);
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    close(p->out_fd);
    p->out_fd = -1;
    return false;
}

bool reap_if_ended(DevsimProcess *p)
{
    if (!p->ended && p->pid > 0 && wait_child(p->pid, 0, &p->status) == 0)
        p->ended = true;
    return p->ended;
}

} // namespace

int devsim_start(DevsimProcess *p, const std::vector<std::string> &args)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    std::vector<std::string> argv = {FWU_DEVSIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = start_child(argv, pipe_fds[1], -1, SIGKILL);
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        return -1;
    }
    p->pid = pid;
    p->out_fd = pipe_fds[0];
    p->ended = false;
    p->output.clear();

    double deadline = monotonic_ms() + FIRST_LINE_MS;
    while (monotonic_ms() < deadline) {
        size_t nl = p->output.find('\n');
        if (nl != std::string::npos) {
            p->path = p->output.substr(0, nl);
            p->output.erase(0, nl + 1);
            return p->path.empty() ? -1 : 0;
        }
        if (!drain_pipe(p, 50))
            break;
    }
    return -1;
}

int devsim_wait(DevsimProcess *p, int timeout_ms)
{
    double deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        bool open = drain_pipe(p, 20);
        if (reap_if_ended(p)) {
            while (drain_pipe(p, 0) && p->out_fd >= 0) {
            }
            return 0;
        }
        if (monotonic_ms() >= deadline)
            return -1;
        if (!open)
            sleep_until_ms(monotonic_ms() + 10);
    }
}

void devsim_stop(DevsimProcess *p)
{
    if (p->pid > 0 && !reap_if_ended(p)) {
        kill_child(p->pid, &p->status);
        p->ended = true;
    }
    if (p->out_fd >= 0) {
        close(p->out_fd);
        p->out_fd = -1;
    }
}

bool devsim_exited_ok(const DevsimProcess *p)
{
    return p->ended && WIFEXITED(p->status) && WEXITSTATUS(p->status) == 0;
}

}  // namespace testkit
