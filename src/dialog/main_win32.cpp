// Process entry: the window class, the dialog, the port list, the image,
// and the message loop.
#include <windows.h>

#include "image/image.h"
#include "dialog/controls.h"
#include "session/fatal.h"
#include "protocol/report.h"
#include "dialog/dialog_win32.h"

HINSTANCE app_instance;
HWND main_window;
DeviceLink device_link;
PortTable port_table;

// The status line of the dialog (control 5). Until the window exists the
// status helper only keeps the text.
static void show_status(const char *text)
{
    if (main_window != NULL)
        SetDlgItemTextA(main_window, IDC_STATUS, text);
}

static void register_window_class(void)
{
    WNDCLASSA window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = DLGWINDOWEXTRA;  // the dialog manager's room
    window_class.hInstance = app_instance;
    window_class.hIcon = NULL;
    window_class.hCursor = LoadCursor(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    window_class.lpszMenuName = NULL;
    window_class.lpszClassName = "FWU";
    if (RegisterClassA(&window_class) == 0)
        fatal_error("Unabled to register window class");
}

static void fill_port_list(void)
{
    discover_ports(&port_table);
    for (int i = 0; i < port_table.count; i++)
        SendDlgItemMessageA(main_window, IDC_PORT_LIST, CB_ADDSTRING, 0,
                            (LPARAM)port_table.names[i]);
    SendDlgItemMessageA(main_window, IDC_PORT_LIST, CB_SETCURSEL, 0, 0);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command)
{
    (void)previous_instance;
    (void)command_line;

    app_instance = instance;
    register_window_class();

    main_window = CreateDialogParamA(app_instance, "FWU", NULL, NULL, 0);
    if (main_window == NULL)
        fatal_error("Could not create dialog");
    set_status_sink(show_status);
    ShowWindow(main_window, show_command);

    trace("Running on windows version: %x\n", (unsigned)REPORTED_WINDOWS_VERSION);
    fill_port_list();
    set_status(" - Idle - ");

    init_link(&device_link);
    char why[160];
    if (load_image(&device_link, why, sizeof why) != 0)
        fatal_error(why);

    MSG message;
    message.wParam = 0;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (IsWindow(main_window) && IsDialogMessageA(main_window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    flush_trace();
    return (int)message.wParam;
}
