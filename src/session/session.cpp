#include "session/session.h"

#include "protocol/report.h"

void release_port(DeviceLink *link, const SessionHooks *hooks)
{
    hooks->stop_ticks();
    if (link->port != NO_PORT) {
        close_port(link->port);
        link->port = NO_PORT;
    }
    link->line = no_transport();
}

void on_update_pressed(DeviceLink *link, const PortTable *ports, long row,
                       const SessionHooks *hooks)
{
    // With no row chosen there is nothing to open: an update in progress,
    // or a port held after "FAILED", is left as it is.
    if (row < 0 || row >= ports->count) {
        report_status(link->settings.report, "Choose a COM port first");
        return;
    }

    release_port(link, hooks);

    link->baud = LINE_BAUD;
    link->port_name = ports->names[row];
    report_trace(link->settings.report, " . Opening serial port %s at %ld baud\n", link->port_name,
                 (long)link->baud);
    PortOpenFailure failure;
    if (open_port_why(link->port_name, &link->port, &failure) != 0) {
        if (hooks->open_failed != NULL && hooks->open_failed(link->port_name, &failure))
            return;
        hooks->fatal("Unable to open serial port. In use already, or not present");
        return;  // the hook does not return
    }
    link->line = serial_transport(link->port);
    const char *note = port_note(link->port);
    if (note != NULL)
        report_trace(link->settings.report, " . %s\n", note);
    configure_port(link->port, LINE_BAUD, READ_INTERVAL_MS);

    start_update(link);
    report_status(link->settings.report, "Contacting Device...");
    hooks->resume_ticks();
}

UpdateEnd on_tick(DeviceLink *link, const SessionHooks *hooks, UpdateOutcome *outcome)
{
    // A step may block for a few hundred milliseconds; keep the next tick
    // from falling due meanwhile.
    hooks->hold_ticks();
    step_update(link);
    hooks->resume_ticks();

    if (link->state == Done) {
        hooks->stop_ticks();
        hooks->completion_beep();
        report_status(link->settings.report, "Programming Completed");
        close_port(link->port);
        link->port = NO_PORT;
        link->line = no_transport();
    }
    return update_outcome(link, outcome);
}
