// The Linux tool's screen: the port list, the image, then the loop that
// reads the operator's keys and steps the engine every TICK_MS while an
// update runs (session/session.h holds what a press and a tick do).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "image/image.h"
#include "protocol/clock.h"
#include "session/fatal.h"
#include "protocol/report.h"
#include "session/session.h"
#include "screen/screen_posix.h"

DeviceLink device_link;
PortTable port_table;
OperatorView view;

// ---------------------------------------------------------------------------
// The ticks: due at next_tick while an update runs, waited for by poll().

static int ticking;
static uint32_t next_tick;

static void hold_ticks(void)
{
    // The next tick is set after the step has ended; none falls due meanwhile.
}

static void resume_ticks(void)
{
    ticking = 1;
    next_tick = tick_count() + TICK_MS;
}

static void stop_ticks(void)
{
    ticking = 0;
}

static int port_open_failed(const char *port_name, const PortOpenFailure *failure);

static const SessionHooks tick_hooks = {hold_ticks, resume_ticks, stop_ticks, terminal_bell,
                                        port_open_failed, fatal_error};

// Milliseconds until the next tick: -1 with none to come, 0 when it is due.
static int until_next_tick(void)
{
    if (!ticking)
        return -1;
    int32_t left = (int32_t)(next_tick - tick_count());
    if (left <= 0)
        return 0;
    return left > TICK_MS ? TICK_MS : (int)left;
}

// ---------------------------------------------------------------------------
// Ending

// Quits between ticks: no frame goes out after this. The port is closed,
// the trace flushed and the terminal given back; with a signal, the process
// then ends by that signal as it would have without us.
[[noreturn]] static void end_process(int exit_code, int sig)
{
    release_port(&device_link, &tick_hooks);
    flush_trace();
    terminal_restore();
    if (sig != 0) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
    exit(exit_code);
}

// ---------------------------------------------------------------------------
// Ports that do not open, or go away

// A device that cannot be the adapter (this terminal, a console, something
// that is no serial port) is refused with a status, and the operator picks
// again; nothing was written to it. A port that is busy or forbidden is the
// dialog's fatal error, with a report that says who holds it or which group
// may use it. Anything else: the dialog's own fatal report.
static int port_open_failed(const char *port_name, const PortOpenFailure *failure)
{
    int code = (int)failure->code;
    if (failure->refused) {
        // The status line holds 63 characters: the whole sentence goes to the trace.
        trace(" . Refused: %s\n", failure->text);
        set_status("Refused, not a serial adapter: %s", port_name);
        return 1;
    }
    if (code == EACCES || code == EBUSY) {
        char message[sizeof failure->text + 40];
        snprintf(message, sizeof message, "Unable to open serial port. %s", failure->text);
        errno = code;
        fatal_error(message);
    }
    errno = code;
    return 0;
}

// The system says the device behind the port vanished (adapter unplugged):
// the update stops, the port is let go, and the operator may choose a port
// and start again.
static void on_port_lost(void)
{
    release_port(&device_link, &tick_hooks);
    trace("\n . Port %s lost: the device went away\n",
          device_link.port_name != NULL ? device_link.port_name : "");
    set_status("Port lost (unplugged?) - choose a port and press u to retry");
}

// ---------------------------------------------------------------------------
// The operator's keys

static void press_update(void)
{
    // open_port leaves errno for the fatal report; nothing older may stand in.
    errno = 0;
    on_update_pressed(&device_link, &port_table, view.selected, &tick_hooks);
    // Port configuration complaints may have reached the terminal on stderr.
    screen_draw();
}

// The typed path becomes the chosen row: the row that already has it, or a
// new one at the end of the list (in place of the last when the list is full).
static void accept_path(void)
{
    view.editing = 0;
    if (view.path_len == 0)
        return;
    for (int i = 0; i < port_table.count; ++i) {
        if (strcmp(port_table.names[i], view.path) == 0) {
            view.selected = i;
            return;
        }
    }
    int row = port_table.count < PORT_TABLE_CAPACITY ? port_table.count++ : port_table.count - 1;
    memcpy(port_table.names[row], view.path, (size_t)view.path_len + 1);
    view.selected = row;
}

static void start_editing(const char *first)
{
    view.editing = 1;
    view.path_len = 0;
    view.path[0] = '\0';
    if (first != NULL) {
        view.path_len = (int)strlen(first);
        memcpy(view.path, first, (size_t)view.path_len + 1);
    }
}

static void edit_key(const Key *key)
{
    switch (key->kind) {
    case KEY_CHAR:
        if (view.path_len < PORT_NAME_CAPACITY - 1) {
            view.path[view.path_len++] = key->ch;
            view.path[view.path_len] = '\0';
        }
        break;
    case KEY_BACKSPACE:
        if (view.path_len > 0)
            view.path[--view.path_len] = '\0';
        break;
    case KEY_CLEAR_LINE:
        view.path_len = 0;
        view.path[0] = '\0';
        break;
    case KEY_ENTER:
        accept_path();
        break;
    case KEY_ESCAPE:
        view.editing = 0;
        break;
    default:
        break;
    }
    screen_draw();
}

static void choose_row(int row)
{
    if (row < 0 || row >= port_table.count || row == view.selected)
        return;
    view.selected = row;
    screen_draw();
}

// Looks for ports again; the chosen row stays chosen while its port is
// there. Not while a port is held: the update names its port by its row.
static void refresh_ports(void)
{
    if (device_link.port != NO_PORT) {
        terminal_bell();
        return;
    }
    char chosen[PORT_NAME_CAPACITY] = "";
    if (view.selected >= 0 && view.selected < port_table.count)
        memcpy(chosen, port_table.names[view.selected], sizeof chosen);
    discover_ports(&port_table);
    view.selected = port_table.count > 0 ? 0 : -1;
    if (chosen[0] != '\0') {
        int found = -1;
        for (int i = 0; i < port_table.count && found < 0; ++i)
            if (strcmp(port_table.names[i], chosen) == 0)
                found = i;
        // A typed path is no discovered port; it stays while it exists.
        if (found < 0 && access(chosen, F_OK) == 0 && port_table.count < PORT_TABLE_CAPACITY) {
            found = port_table.count++;
            memcpy(port_table.names[found], chosen, sizeof chosen);
        }
        if (found >= 0)
            view.selected = found;
    }
    screen_draw();
}

// Returns 1 when the operator quits.
static int handle_key(const Key *key)
{
    if (view.editing) {
        edit_key(key);
        return 0;
    }
    switch (key->kind) {
    case KEY_UP:
        choose_row(view.selected - 1);
        break;
    case KEY_DOWN:
        choose_row(view.selected + 1);
        break;
    case KEY_ENTER:
        press_update();
        break;
    case KEY_CHAR:
        if (key->ch == 'u' || key->ch == 'U') {
            press_update();
        } else if (key->ch == 'q' || key->ch == 'Q') {
            return 1;
        } else if (key->ch == 'r' || key->ch == 'R') {
            refresh_ports();
        } else if (key->ch == 'p' || key->ch == 'P') {
            start_editing(NULL);
            screen_draw();
        } else if (key->ch == '/') {
            start_editing("/");
            screen_draw();
        } else if (key->ch >= '1' && key->ch <= '9') {
            choose_row(key->ch - '1');
        }
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Start-up and the loop

// The trace goes where standard output goes, but never onto the screen:
// when standard output is the terminal itself, the trace is dropped, as the
// Windows tool's is unless it is redirected.
static void keep_trace_off_screen(void)
{
    if (!terminal_is(STDOUT_FILENO))
        return;
    fflush(stdout);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}

static void fill_port_list(void)
{
    discover_ports(&port_table);
    view.selected = port_table.count > 0 ? 0 : -1;
}

[[noreturn]] static void screen_loop(void)
{
    for (;;) {
        int sig = terminal_pending_signal();
        if (sig != 0)
            end_process(1, sig);
        if (terminal_take_resize())
            screen_draw();

        TerminalWait ready = terminal_wait(until_next_tick());
        if (ready == WAIT_GONE)
            end_process(1, SIGHUP);  // the terminal went away
        if (ready == WAIT_KEYS) {
            Key keys[KEY_BATCH];
            int count = terminal_read_keys(keys);
            if (count < 0)
                end_process(1, SIGHUP);
            for (int i = 0; i < count; ++i)
                if (handle_key(&keys[i]))
                    end_process(0, 0);
        }

        if (terminal_pending_signal() == 0 && until_next_tick() == 0) {
            UpdateOutcome outcome;
            on_tick(&device_link, &tick_hooks, &outcome);
            // A port that vanished, also one that vanished on the reset
            // request, is a lost port on the screen.
            if (outcome.port_lost)
                on_port_lost();
        }
    }
}

int screen_main(void)
{
    char why[160];
    if (terminal_open(why, sizeof why) != 0) {
        fprintf(stderr, "fwu: %s\n", why);
        return 2;
    }
    keep_trace_off_screen();
    set_status_sink(screen_show_status);
    screen_draw();

    trace("Running on windows version: %x\n", (unsigned)REPORTED_WINDOWS_VERSION);
    fill_port_list();
    set_status(" - Idle - ");
    screen_draw();

    init_link(&device_link);
    if (load_image(&device_link, why, sizeof why) != 0)
        fatal_error(why);
    screen_loop();
}
