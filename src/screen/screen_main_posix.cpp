// The Linux tool's screen: the image, the port list, then the loop that
// reads the operator's keys and steps the engine every TICK_MS while an
// update runs (session/session.h holds what a press and a tick do).
//
// Leaving during an update is a decision: q or Ctrl-C first asks, and only
// a second q or Ctrl-C abandons the update, with exit status 1 (q) or by
// SIGINT (Ctrl-C) and a trace line that says how far the device got.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

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

enum {
    EXIT_QUIT = 0,       // q outside an update
    EXIT_ABANDONED = 1   // q asked and q again during an update: the device left part-written
};

// 1 while an update runs: its port held and the engine at no end yet
// (after "FAILED" the port is held, but the update has ended).
static int updating(void)
{
    return device_link.port != NO_PORT && update_outcome(&device_link, NULL) == UPDATE_RUNNING;
}

static void trace_abandoned(void)
{
    UpdateOutcome outcome;
    update_outcome(&device_link, &outcome);
    if (!outcome.linked) {
        trace("\n . Update abandoned before the device answered: nothing was written to it\n");
        return;
    }
    trace("\n . Update abandoned: the device was left part-written, %lu of %ld blocks, "
          "not verified and not reset\n",
          (unsigned long)outcome.tally.blocks_acked, (long)(outcome.image_size / BLOCK_SIZE));
}

// Quits between ticks: no frame goes out after this. An update cut short
// says so in the trace. The port is closed, the trace flushed and the
// terminal given back; with a signal, the process then ends by that signal
// as it would have without us.
[[noreturn]] static void end_process(int exit_code, int sig)
{
    if (updating())
        trace_abandoned();
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

// A device that cannot be the adapter is refused with a status and a trace
// line that say why, and the operator picks again; nothing is written to it.
static void tell_refused(const char *port_name, PortRefusal refusal)
{
    trace(" . Refused: %s is %s, not a serial adapter: nothing is sent to it\n", port_name,
          port_refusal_words(refusal));
    set_status("Refused, %s: %s", port_refusal_words(refusal), port_name);
}

// A device that cannot be the adapter (this terminal, a console, something
// that is no serial port) is refused as above. A port that is busy or
// forbidden is the dialog's fatal error, with a report that says who holds
// it or which group may use it. Anything else: the dialog's own fatal report.
static int port_open_failed(const char *port_name, const PortOpenFailure *failure)
{
    int code = (int)failure->code;
    if (failure->refusal != PORT_ALLOWED) {
        tell_refused(port_name, failure->refusal);
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

// "Update Device". With no image to write, or a chosen row that would be
// refused, the operator is told at once and nothing is sent: an update in
// progress goes on.
static void press_update(void)
{
    if (!screen_has_image())
        return;
    if (view.selected >= 0 && view.selected < port_table.count) {
        const char *name = port_table.names[view.selected];
        PortRefusal refusal = port_refusal(name);
        if (refusal != PORT_ALLOWED) {
            tell_refused(name, refusal);
            return;
        }
    }
    // open_port leaves errno for the fatal report; nothing older may stand in.
    errno = 0;
    on_update_pressed(&device_link, &port_table, view.selected, &tick_hooks);
    // Port configuration complaints may have reached the terminal on stderr.
    screen_draw();
}

static void choose_row(int row)
{
    if (row < 0 || row >= port_table.count || row == view.selected)
        return;
    view.selected = row;
    screen_draw();
}

// Looks for ports again. Not while a port is held: the update names its
// port by its row.
static void refresh_ports(void)
{
    if (device_link.port != NO_PORT) {
        terminal_bell();
        return;
    }
    refresh_port_list();
    screen_draw();
}

// ---------------------------------------------------------------------------
// The question before an update is abandoned

static void ask_to_abandon(void)
{
    view.asking = 1;
    screen_show_status(current_status());
}

// Withdrawn by any other key, and by the update's end.
static void withdraw_question(void)
{
    if (!view.asking)
        return;
    view.asking = 0;
    screen_show_status(current_status());
}

enum KeyOutcome { KEY_HANDLED, KEY_QUITS, KEY_ABANDONS };

static int quit_key(const Key *key)
{
    return key->kind == KEY_CHAR && (key->ch == 'q' || key->ch == 'Q');
}

// What the key does: with the question asked, q abandons the update and
// any other key only withdraws the question.
static KeyOutcome handle_key(const Key *key)
{
    if (view.asking) {
        if (quit_key(key))
            return KEY_ABANDONS;
        withdraw_question();
        return KEY_HANDLED;
    }
    if (view.editing) {
        typing_key(key);
        return KEY_HANDLED;
    }
    if (quit_key(key)) {
        if (!updating())
            return KEY_QUITS;
        ask_to_abandon();
        return KEY_HANDLED;
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
        } else if (key->ch == 'r' || key->ch == 'R') {
            refresh_ports();
        } else if (key->ch == 'p' || key->ch == 'P') {
            start_typing_path(NULL);
            screen_draw();
        } else if (key->ch == '/') {
            start_typing_path("/");
            screen_draw();
        } else if (key->ch >= '1' && key->ch <= '9') {
            choose_row(key->ch - '1');
        }
        break;
    default:
        break;
    }
    return KEY_HANDLED;
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

// A SIGINT during an update asks first, as q does; asked already, it ends
// the process by the signal. SIGTERM and SIGHUP end it at once.
static void act_on_signal(void)
{
    int sig = terminal_pending_signal();
    if (sig == 0)
        return;
    if (sig == SIGINT && updating() && !view.asking) {
        terminal_take_signal();
        ask_to_abandon();
        return;
    }
    end_process(1, sig);
}

static void read_keys(void)
{
    Key keys[KEY_BATCH];
    int count = terminal_read_keys(keys);
    if (count < 0)
        end_process(1, SIGHUP);
    for (int i = 0; i < count; ++i) {
        KeyOutcome outcome = handle_key(&keys[i]);
        if (outcome == KEY_QUITS)
            end_process(EXIT_QUIT, 0);
        if (outcome == KEY_ABANDONS)
            end_process(EXIT_ABANDONED, 0);
    }
}

[[noreturn]] static void screen_loop(void)
{
    for (;;) {
        act_on_signal();
        if (terminal_take_resize())
            screen_draw();

        TerminalWait ready = terminal_wait(until_next_tick());
        if (ready == WAIT_GONE)
            end_process(1, SIGHUP);  // the terminal went away
        if (ready == WAIT_KEYS)
            read_keys();

        if (terminal_pending_signal() == 0 && until_next_tick() == 0) {
            UpdateOutcome outcome;
            on_tick(&device_link, &tick_hooks, &outcome);
            if (!updating())
                withdraw_question();
            // A port that vanished, also one that vanished on the reset
            // request, is a lost port on the screen.
            if (outcome.port_lost)
                on_port_lost();
        }
    }
}

// The system the trace comes from, as uname names it: "Running on Linux
// 6.1.0-13-amd64 x86_64".
static void trace_system(void)
{
    struct utsname system;
    if (uname(&system) != 0) {
        trace("Running on an unnamed system\n");
        return;
    }
    trace("Running on %s %s %s\n", system.sysname, system.release, system.machine);
}

int screen_main(const ImageChoice *choice)
{
    char why[IMAGE_CHOICE_WHY_CAPACITY];
    if (screen_read_image(choice, why, sizeof why) != 0 || terminal_open(why, sizeof why) != 0) {
        fprintf(stderr, "fwu: %s\n", why);
        return 2;
    }
    keep_trace_off_screen();
    set_status_sink(screen_show_status);
    screen_draw();

    trace_system();
    fill_port_list();
    set_status(" - Idle - ");
    init_link(&device_link);
    screen_give_image(&device_link);
    screen_draw();
    screen_loop();
}
