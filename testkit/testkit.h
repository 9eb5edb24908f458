// What the native tests and the benchmark's timed child share: one
// monotonic clock, one way to start a child that dies with its parent,
// fwu-devsim as a process, scratch directories and files, image patterns,
// and whole updates driven through the session code the front ends share.
//
// Linux only (fork, prctl, pseudo-terminals); built when the tests or the
// benchmark are.
#ifndef FWU_TESTKIT_TESTKIT_H
#define FWU_TESTKIT_TESTKIT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "protocol/engine.h"
#include "serial/monotonic.h"

// Everything here is in namespace testkit, so no name of it meets one of the
// tool's own in a binary that links both.
namespace testkit {

typedef std::vector<unsigned char> Bytes;

// --- time --------------------------------------------------------------------

// Sleeps until monotonic_ms() reaches when_ms (at once if it has).
void sleep_until_ms(double when_ms);

// --- child processes -----------------------------------------------------------

// Starts argv[0] (a path) with argv, standard input from /dev/null and
// standard output and error on the given descriptors (-1: inherited). The
// child gets death_signal when this process ends, so it never outlives a
// test that dies without cleaning up. Returns its PID, or -1.
pid_t start_child(const std::vector<std::string> &argv, int stdout_fd, int stderr_fd,
                  int death_signal);

// Waits up to timeout_ms for the child pid to end and reaps it, leaving its
// wait status in *status. Returns 0 when it ended, -1 when it still runs.
int wait_child(pid_t pid, int timeout_ms, int *status);

// Kills the child pid (SIGKILL, by that PID only) and reaps it.
void kill_child(pid_t pid, int *status);

// --- the simulator -------------------------------------------------------------

struct DevsimProcess {
    pid_t pid = -1;
    int out_fd = -1;      // its standard output
    std::string path;     // the first line: the far end of its line
    std::string output;   // everything it printed after that line
    int status = -1;      // wait status once it has ended
    bool ended = false;
};

// Starts fwu-devsim (the build's own) with args and reads its first line
// within a bounded wait. Returns 0, or -1 when it did not start or printed no
// path.
int devsim_start(DevsimProcess *p, const std::vector<std::string> &args);

// Waits up to timeout_ms for it to end, collecting its output. Returns 0
// when it ended, -1 on timeout.
int devsim_wait(DevsimProcess *p, int timeout_ms);

// Ends it if it still runs (SIGKILL), reaps it and closes the pipe.
void devsim_stop(DevsimProcess *p);

// 1 when it ended by itself with exit status 0.
bool devsim_exited_ok(const DevsimProcess *p);

// --- files and images ----------------------------------------------------------

// A fresh directory under /tmp for a test's files; remove_scratch_dir
// removes it and everything in it (links are removed, not followed).
std::string make_scratch_dir(void);
void remove_scratch_dir(const std::string &dir);

// Made-up device trees for the serial tests: a directory and every parent
// missing on the way, and a file holding text (its directories made).
// Return 0, or -1.
int make_dirs(const std::string &path);
int write_text_file(const std::string &path, const std::string &text);

// A whole file (empty when missing), as bytes or as text.
Bytes read_file(const std::string &path);
std::string read_text(const std::string &path);

// A number in the simulator's summary JSON: "group.key" inside an object, or
// "key" at the top level. -1 when missing.
long long json_number(const std::string &json, const std::string &name);

// size bytes of a pattern that varies with seed and position: a raw image.
Bytes test_pattern(size_t size, unsigned seed);

// The padded image link holds (after pad_image or load_image), as bytes.
Bytes padded_bytes(const DeviceLink *link);

// test_pattern(size, seed) padded by the image layer as the tool pads its
// embedded image; empty when the image layer refuses it.
Bytes padded_pattern(size_t size, unsigned seed);

// --- whole updates through the session code ------------------------------------

struct UpdateRun {
    uint32_t final_state;
    uint32_t steps;                   // ticks run
    double elapsed_ms;                // from the press to the end of the last tick
    double reached_ms[UPDATE_STATE_COUNT];      // end of the first tick in each state; -1: never
    uint32_t reached_step[UPDATE_STATE_COUNT];  // the count of ticks by then
    std::vector<double> acks_ms;      // end of each tick that took a block ack
};

// Presses "Update Device" with port_path as the one row of the port list
// and chosen (on_update_pressed), then runs a tick (on_tick) whenever one
// falls due, TICK_MS after the previous one ended, until Done or Failed or
// until limit_ms have passed. link has been through init_link and holds its
// image. The press lets go of a port a previous run still holds, as the
// screen's does. At Done the session has closed the port; after Failed it
// holds it (release_update lets it go).
//
// A port that does not open is a fatal error in the session code: here it
// reports on standard error and ends the process with exit code 3, which no
// test runner takes for a pass. Returns the final state; when the press
// started nothing (a name no port table takes) the state is left as it was
// and no tick runs.
uint32_t run_update(DeviceLink *link, const char *port_path, uint32_t limit_ms, UpdateRun *run);

// One more tick, as the front end's timer runs it. Returns how the update stands
// after it (update_outcome).
UpdateEnd tick_update(DeviceLink *link);

// Lets go of the port an update holds (release_port), as a second press or
// quitting does.
void release_update(DeviceLink *link);

}  // namespace testkit

#endif
