// The window procedure of class "FWU": the "Update Device" button starts an
// update, timer 6 drives the engine one step per tick.
#include <windows.h>

#include "shell/controls.h"
#include "shell/fatal.h"
#include "shell/report.h"
#include "shell/shell_win32.h"

// Stops the update that holds a port (running, or stopped at "FAILED") and
// lets the port go, so it can be opened again.
static void release_port(HWND window)
{
    KillTimer(window, TIMER_ID);
    if (device_link.port != INVALID_HANDLE_VALUE) {
        close_port(device_link.port);
        device_link.port = INVALID_HANDLE_VALUE;
    }
}

static void on_update_pressed(HWND window)
{
    release_port(window);

    LRESULT row = SendDlgItemMessageA(window, IDC_PORT_LIST, CB_GETCURSEL, 0, 0);
    if (row == CB_ERR || row < 0 || row >= port_table.count) {
        set_status("Choose a COM port first");
        return;
    }

    device_link.baud = LINE_BAUD;
    device_link.port_name = port_table.names[row];
    trace(" . Opening serial port %s at %ld baud\n", device_link.port_name,
          (long)device_link.baud);
    device_link.port = open_port(device_link.port_name);
    if (device_link.port == INVALID_HANDLE_VALUE)
        fatal_error("Unable to open serial port. In use already, or not present");
    configure_port(device_link.port, LINE_BAUD, READ_INTERVAL_MS);

    device_link.state = Start;
    set_status("Contacting Device...");
    SetTimer(window, TIMER_ID, TICK_MS, NULL);
}

static void on_tick(HWND window)
{
    // A step may block for a few hundred milliseconds; keep the next tick
    // from falling due meanwhile.
    SetTimer(window, TIMER_ID, GUARD_MS, NULL);
    step_update(&device_link);
    SetTimer(window, TIMER_ID, TICK_MS, NULL);

    if (device_link.state == Done) {
        KillTimer(window, TIMER_ID);
        Beep(2000, 100);
        set_status("Programming Completed");
        close_port(device_link.port);
        device_link.port = INVALID_HANDLE_VALUE;
    }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_UPDATE) {
            on_update_pressed(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if ((WORD)wparam == TIMER_ID) {
            on_tick(window);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
