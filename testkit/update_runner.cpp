// Whole updates driven through the session code the dialog and the screen
// share (src/session/session.cpp): the press with a one-row port list, then the
// ticks, each due TICK_MS after the previous one ended, as the Linux screen's
// poll timeout and the Windows timer make them. The session reaches the
// front end only through SessionHooks, supplied here.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "serial/serial.h"
#include "session/session.h"
#include "testkit.h"

namespace testkit {

namespace {

// The ticks as the hooks leave them. One update at a time per process.
struct Ticks {
    bool running;
    double due_ms;  // when the next tick falls due, on monotonic_ms()
};
Ticks ticks = {false, 0};

void runner_hold_ticks(void)
{
    ticks.due_ms = -1;
}

void runner_resume_ticks(void)
{
    ticks.running = true;
    ticks.due_ms = monotonic_ms() + TICK_MS;
}

void runner_stop_ticks(void)
{
    ticks.running = false;
}

void no_beep(void)
{
}

void fatal_in_session(const char *message);

const SessionHooks HOOKS = {runner_hold_ticks, runner_resume_ticks, runner_stop_ticks, no_beep, NULL, fatal_in_session};

// The port list of the press: one row, the port under test. It outlives the
// run, as link->port_name points into it.
PortTable ports;

// The session's answer to a port that does not open. A test must never read
// this as a finished update, so the process ends with a code of its own.
void fatal_in_session(const char *message)
{
    int code = errno;
    fflush(stdout);
    fprintf(stderr, "testkit: fatal error in the session: %s (errno %d: %s); exit 3\n", message,
            code, strerror(code));
    fflush(stderr);
    _exit(3);
}

} // namespace

UpdateEnd tick_update(DeviceLink *link)
{
    return on_tick(link, &HOOKS, NULL);
}

void release_update(DeviceLink *link)
{
    release_port(link, &HOOKS);
}

uint32_t run_update(DeviceLink *link, const char *port_path, uint32_t limit_ms, UpdateRun *run)
{
    UpdateRun local;
    if (run == NULL)
        run = &local;
    run->steps = 0;
    run->elapsed_ms = 0;
    run->acks_ms.clear();
    for (int s = Start; s < UPDATE_STATE_COUNT; s++) {
        run->reached_ms[s] = -1;
        run->reached_step[s] = 0;
    }

    ports.count = 0;
    if (port_name_ok(port_path)) {
        snprintf(ports.names[0], sizeof ports.names[0], "%s", port_path);
        ports.count = 1;
    }
    const double pressed = monotonic_ms();
    ticks.running = false;
    on_update_pressed(link, &ports, 0, &HOOKS);
    if (ticks.running)
        run->reached_ms[Start] = 0;

    UpdateEnd end = UPDATE_RUNNING;
    while (ticks.running && end == UPDATE_RUNNING) {
        double now = monotonic_ms() - pressed;
        if (now >= limit_ms)
            break;
        sleep_until_ms(ticks.due_ms);
        int32_t offset = link->offset;
        end = tick_update(link);
        run->steps++;
        now = monotonic_ms() - pressed;
        if (link->offset > offset)
            run->acks_ms.push_back(now);
        if (link->state < UPDATE_STATE_COUNT && run->reached_ms[link->state] < 0) {
            run->reached_ms[link->state] = now;
            run->reached_step[link->state] = run->steps;
        }
        run->elapsed_ms = now;
    }
    run->final_state = link->state;
    return link->state;
}

}  // namespace testkit
