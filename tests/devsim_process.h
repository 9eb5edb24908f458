// Running fwu-devsim from a test: start it, learn the far end of its line
// from the first line it prints, wait for it to end, read what it reported,
// and always stop it (by its own PID) and reap it, even when a test fails.
#ifndef FWU_TESTS_DEVSIM_PROCESS_H
#define FWU_TESTS_DEVSIM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

struct DevsimProcess {
    pid_t pid = -1;
    int out_fd = -1;      // its standard output
    std::string path;     // the first line: the far end of its line
    std::string output;   // everything it printed after that line
    int status = -1;      // wait status once it has ended
    bool ended = false;
};

// A fresh directory for a test's dumps and summaries; removed by
// remove_scratch_dir.
std::string make_scratch_dir(void);
void remove_scratch_dir(const std::string &dir);

// Starts fwu-devsim with args and reads its first line (bounded wait).
// Returns 0, or -1 when it did not start or printed no path.
int devsim_start(DevsimProcess *p, const std::vector<std::string> &args);

// Waits up to timeout_ms for it to end, collecting its output. Returns 0
// when it ended, -1 on timeout.
int devsim_wait(DevsimProcess *p, int timeout_ms);

// Ends it if it still runs (SIGKILL), reaps it and closes the pipe.
void devsim_stop(DevsimProcess *p);

// 1 when it ended by itself with exit status 0.
bool devsim_exited_ok(const DevsimProcess *p);

// A whole file as bytes (empty when missing).
std::vector<unsigned char> read_file(const std::string &path);

// A number in the summary JSON: "group.key" inside an object, or "key" at
// the top level. -1 when missing.
long long json_number(const std::string &json, const std::string &name);

#endif
