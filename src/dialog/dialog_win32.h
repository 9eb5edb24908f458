// The process-wide records of the Windows tool and its window procedure.
// Created at start-up and kept until the process ends. Nothing here fails:
// the dialog's failures end the process through fatal_error.
#ifndef FWU_DIALOG_DIALOG_WIN32_H
#define FWU_DIALOG_DIALOG_WIN32_H

#include <windows.h>

#include "protocol/engine.h"
#include "serial/serial.h"
#include "session/session.h"

enum {
    TIMER_ID = 6  // drives the update engine: TICK_MS, GUARD_MS while a step runs
};

extern HINSTANCE app_instance;  // the executable; also reaches its resources
extern HWND main_window;        // NULL until the dialog exists
extern DeviceLink device_link;
extern PortTable port_table;

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

#endif
