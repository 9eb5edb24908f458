// The window procedure of class "FWU": the "Update Device" button starts an
// update, timer 6 drives the engine one step per tick (session/session.h).
#include <windows.h>

#include "dialog/controls.h"
#include "session/fatal.h"
#include "session/session.h"
#include "dialog/dialog_win32.h"

// Timer 6 on the main window, which is the window the procedure serves.
static void hold_ticks(void)
{
    SetTimer(main_window, TIMER_ID, GUARD_MS, NULL);
}

static void resume_ticks(void)
{
    SetTimer(main_window, TIMER_ID, TICK_MS, NULL);
}

static void stop_ticks(void)
{
    KillTimer(main_window, TIMER_ID);
}

static void completion_beep(void)
{
    Beep(2000, 100);
}

static const SessionHooks timer_hooks = {hold_ticks, resume_ticks, stop_ticks, completion_beep,
                                         NULL, fatal_error};

static void on_button(HWND window)
{
    LRESULT row = SendDlgItemMessageA(window, IDC_PORT_LIST, CB_GETCURSEL, 0, 0);
    long selected = (row == CB_ERR || row < 0 || row >= port_table.count) ? -1 : (long)row;
    on_update_pressed(&device_link, &port_table, selected, &timer_hooks);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_UPDATE) {
            on_button(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if ((WORD)wparam == TIMER_ID) {
            on_tick(&device_link, &timer_hooks, NULL);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
