// What the operator's two events do, the same in the dialog and the
// terminal screen: pressing "Update Device" opens the selected port and
// starts the ticks; each tick runs one engine step and, at Done, ends the
// update. The front end supplies the platform's ticks, beep and fatal error
// report as hooks (timer 6 on Windows, the terminal's poll timeout on Linux).
//
// Conventions: functions return nothing or, where they tell something, the
// engine's UpdateEnd; failures that end the process go through the fatal
// hook, which does not return.
#ifndef FWU_SESSION_SESSION_H
#define FWU_SESSION_SESSION_H

#include "protocol/engine.h"
#include "serial/serial.h"

enum {
    TICK_MS = 10,       // period of the ticks while an update runs
    GUARD_MS = 10000,   // the Windows timer's period while a step runs
    // Reported in the Windows tool's trace at start-up; fixed when the tool
    // is built, not asked of the system.
    REPORTED_WINDOWS_VERSION = 0xA00
};

struct SessionHooks {
    void (*hold_ticks)(void);       // a step is about to run: no tick may fall due meanwhile
    void (*resume_ticks)(void);     // the next tick TICK_MS from now (also starts them)
    void (*stop_ticks)(void);
    void (*completion_beep)(void);  // short and high: the update completed
    // A port did not open: failure says why, and errno or GetLastError is
    // still the system's code. NULL: the fatal error the dialog reports.
    // Otherwise it returns 1 when it has told the operator and the tool goes
    // on without an update (a device that cannot be the adapter), or 0 for
    // the fatal error; it may end the process itself with a fatal error that
    // says more.
    int (*open_failed)(const char *port_name, const PortOpenFailure *failure);
    // Reports an unrecoverable error and ends the process; never returns.
    void (*fatal)(const char *message);
};

// Stops the update that holds a port (running, or stopped at "FAILED") and
// lets the port go, so it can be opened again.
void release_port(DeviceLink *link, const SessionHooks *hooks);

// "Update Device": lets a held port go, then opens and configures entry row
// of ports and starts the update. With no such row (none selected, an empty
// list) it shows "Choose a COM port first" and does nothing else. A port
// that does not open is a fatal error, unless the open_failed hook handles it.
void on_update_pressed(DeviceLink *link, const PortTable *ports, long row,
                       const SessionHooks *hooks);

// One tick: one engine step, with the next tick due TICK_MS after it ends.
// At Done: no more ticks, the beep, "Programming Completed", the port closed.
// Returns how the update stands after the step, and the whole outcome into
// *outcome when it is not NULL (update_outcome): a front end that shows more
// than the dialog does acts on the other ends itself.
UpdateEnd on_tick(DeviceLink *link, const SessionHooks *hooks, UpdateOutcome *outcome);

#endif
