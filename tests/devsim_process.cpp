#include "devsim_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "update_run.h"

namespace {

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
        p->output.append(buf, (size_t)n);
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    close(p->out_fd);
    p->out_fd = -1;
    return false;
}

bool reap(DevsimProcess *p, int options)
{
    if (p->pid <= 0 || p->ended)
        return p->ended;
    int status = 0;
    pid_t r = waitpid(p->pid, &status, options);
    if (r == p->pid) {
        p->status = status;
        p->ended = true;
    }
    return p->ended;
}

} // namespace

std::string make_scratch_dir(void)
{
    char templ[] = "/tmp/fwu-devsim-test.XXXXXX";
    const char *dir = mkdtemp(templ);
    return dir ? std::string(dir) : std::string();
}

void remove_scratch_dir(const std::string &dir)
{
    if (dir.empty())
        return;
    DIR *d = opendir(dir.c_str());
    if (d) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlink((dir + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

int devsim_start(DevsimProcess *p, const std::vector<std::string> &args)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    std::vector<char *> argv;
    std::string program = FWU_DEVSIM_PATH;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return -1;
    }
    if (pid == 0) {
        // Never outlive the test, even if it dies without cleaning up.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0)
            dup2(null_fd, STDIN_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    p->pid = pid;
    p->out_fd = pipe_fds[0];
    p->ended = false;
    p->output.clear();

    double deadline = monotonic_ms() + 10000;
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
    while (monotonic_ms() < deadline) {
        bool open = drain_pipe(p, 20);
        if (reap(p, WNOHANG)) {
            while (drain_pipe(p, 0) && p->out_fd >= 0) {
            }
            return 0;
        }
        if (!open)
            poll(nullptr, 0, 10);
    }
    return -1;
}

void devsim_stop(DevsimProcess *p)
{
    if (p->pid > 0 && !reap(p, WNOHANG)) {
        kill(p->pid, SIGKILL);
        reap(p, 0);
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

std::vector<unsigned char> read_file(const std::string &path)
{
    std::vector<unsigned char> bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    unsigned char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

long long json_number(const std::string &json, const std::string &name)
{
    size_t from = 0, to = json.size();
    std::string key = name;
    size_t dot = name.find('.');
    if (dot != std::string::npos) {
        size_t group = json.find("\"" + name.substr(0, dot) + "\":{");
        if (group == std::string::npos)
            return -1;
        from = group;
        to = json.find('}', group);
        key = name.substr(dot + 1);
    }
    size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos || at > to)
        return -1;
    return atoll(json.c_str() + at + key.size() + 3);
}
