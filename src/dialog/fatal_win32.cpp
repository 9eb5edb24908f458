#include <stdio.h>
#include <stdlib.h>

#include <windows.h>

#include "session/fatal.h"
#include "dialog/dialog_win32.h"

void fatal_error(const char *message)
{
    DWORD code = GetLastError();  // before anything else can change it

    // The system's description, taken as it stands: inserts such as %1 are
    // left in the text rather than formatted from an argument list we do
    // not have.
    char description[FATAL_REPORT_CAPACITY];
    description[0] = '\0';
    if (code != 0) {
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 NULL, code, 0, description, sizeof description, NULL);
        if (n >= sizeof description)
            n = sizeof description - 1;
        description[n] = '\0';
    }

    char text[FATAL_REPORT_CAPACITY];
    compose_fatal_report(text, sizeof text, message, code, description);

    HWND owner = (main_window != NULL && IsWindow(main_window)) ? main_window : NULL;
    MessageBoxA(owner, text, "Terminate Program", MB_ICONWARNING | MB_OK);
    Beep(200, 1000);
    exit(1);  // flushes the trace
}
