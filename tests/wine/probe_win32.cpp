// Test helper: looks at the running tool from another process of the same
// Wine (or Windows) session, the way an operator's eyes would, and prints
// what it finds on standard output. Texts are printed with line feeds, tabs,
// carriage returns and backslashes escaped C-style, one text per line.
//
//   fwu_probe wait-window TIMEOUT_MS     until the main window shows a status
//   fwu_probe status                     the status line (control 5)
//   fwu_probe watch TIMEOUT_MS TEXT...   the status, then each new status until
//                                        one of TEXT (TEXT ending in * matches a
//                                        prefix; the first status never ends it)
//   fwu_probe ports                      rows of the port list (control 3)
//   fwu_probe select ROW                 selects a row (-1: none)
//   fwu_probe button                     screen position of "Update Device"
//   fwu_probe close-box                  screen position of the caption's close box
//   fwu_probe window                     caption, class, styles, client size
//   fwu_probe controls                   every control: id class style rect text
//   fwu_probe msgbox TIMEOUT_MS          waits for "Terminate Program": owner, text
//
// Exit status: 0 done, 1 timed out or failed, 2 main window not found.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

const UINT SEND_TIMEOUT_MS = 5000;  // the tool blocks while a step runs

HWND find_main(void)
{
    return FindWindowW(L"FWU", NULL);
}

// Prints a wide text as UTF-8 with the control characters escaped.
void print_text(const wchar_t *text)
{
    char utf8[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    if (n <= 0)
        utf8[0] = '\0';
    for (const char *p = utf8; *p; p++) {
        switch (*p) {
        case '\n': fputs("\\n", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        default: putchar(*p); break;
        }
    }
    putchar('\n');
}

// Text of a window in another process; 0 when the window did not answer.
int window_text(HWND window, wchar_t *text, int capacity)
{
    DWORD_PTR copied = 0;
    text[0] = L'\0';
    if (!SendMessageTimeoutW(window, WM_GETTEXT, (WPARAM)capacity, (LPARAM)text,
                             SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &copied))
        return 0;
    text[capacity - 1] = L'\0';
    return 1;
}

LRESULT send(HWND window, UINT message, WPARAM wparam, LPARAM lparam, int *ok)
{
    DWORD_PTR result = 0;
    *ok = SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG,
                              SEND_TIMEOUT_MS, &result) != 0;
    return (LRESULT)result;
}

int status_text(HWND main, wchar_t *text, int capacity)
{
    HWND field = GetDlgItem(main, 5);
    return field != NULL && window_text(field, text, capacity);
}

int cmd_wait_window(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    do {
        HWND main = find_main();
        wchar_t text[256];
        if (main != NULL && IsWindowVisible(main) && status_text(main, text, 256) && text[0])
            return 0;
        Sleep(50);
    } while (GetTickCount() - start < timeout_ms);
    return 1;
}

int cmd_status(void)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    wchar_t text[256];
    if (!status_text(main, text, 256))
        return 1;
    print_text(text);
    return 0;
}

// A pattern ending in '*' matches every text that starts with the rest.
int text_matches(const char *text, const char *pattern)
{
    size_t n = strlen(pattern);
    if (n > 0 && pattern[n - 1] == '*')
        return strncmp(text, pattern, n - 1) == 0;
    return strcmp(text, pattern) == 0;
}

// The first line is the status as it stands: it tells the caller that the
// watch has begun, and ends nothing, so that a watch started before a press
// may begin on the status the last update ended with.
int cmd_watch(DWORD timeout_ms, int count, char **finals)
{
    wchar_t last[256] = L"\x01";
    int first = 1;
    DWORD start = GetTickCount();
    for (;;) {
        HWND main = find_main();
        if (main == NULL)
            return 2;
        wchar_t text[256];
        if (status_text(main, text, 256) && wcscmp(text, last) != 0) {
            wcscpy(last, text);
            print_text(text);
            fflush(stdout);
            char utf8[1024];
            WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
            for (int i = 0; i < count && !first; i++)
                if (text_matches(utf8, finals[i]))
                    return 0;
            first = 0;
        }
        if (GetTickCount() - start >= timeout_ms)
            return 1;
        Sleep(5);
    }
}

int cmd_ports(void)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    HWND list = GetDlgItem(main, 3);
    int ok;
    LRESULT count = send(list, CB_GETCOUNT, 0, 0, &ok);
    if (!ok)
        return 1;
    LRESULT selected = send(list, CB_GETCURSEL, 0, 0, &ok);
    printf("count %ld\nselected %ld\n", (long)count, (long)selected);
    for (LRESULT row = 0; row < count; row++) {
        wchar_t text[300];
        LRESULT len = send(list, CB_GETLBTEXTLEN, (WPARAM)row, 0, &ok);
        if (!ok || len < 0 || len >= 300)
            return 1;
        send(list, CB_GETLBTEXT, (WPARAM)row, (LPARAM)text, &ok);
        text[len] = L'\0';
        printf("row %ld ", (long)row);
        print_text(text);
    }
    return 0;
}

int cmd_select(long row)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    int ok;
    send(GetDlgItem(main, 3), CB_SETCURSEL, (WPARAM)row, 0, &ok);
    return ok ? 0 : 1;
}

int cmd_button(void)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    RECT rect;
    if (!GetWindowRect(GetDlgItem(main, 4), &rect))
        return 1;
    printf("%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    return 0;
}

int is_close_box(HWND window, LONG x, LONG y)
{
    int ok;
    LRESULT hit = send(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), &ok);
    return ok && hit == HTCLOSE;
}

// Searches the top right corner of the window for the point the window
// calls its close box, and prints the middle of that box.
int cmd_close_box(void)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    RECT rect;
    GetWindowRect(main, &rect);
    for (LONG y = rect.top; y < rect.top + 48; y += 2) {
        for (LONG x = rect.right - 1; x > rect.right - 96; x -= 2) {
            if (!is_close_box(main, x, y))
                continue;
            LONG left = x, right = x, bottom = y;
            while (is_close_box(main, left - 1, y))
                left--;
            while (is_close_box(main, right + 1, y))
                right++;
            while (is_close_box(main, x, bottom + 1))
                bottom++;
            printf("%ld %ld\n", (left + right) / 2, (y + bottom) / 2);
            return 0;
        }
    }
    return 1;
}

int cmd_window(void)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    wchar_t text[256];
    wchar_t class_name[256];
    window_text(main, text, 256);
    GetClassNameW(main, class_name, 256);
    RECT client;
    GetClientRect(main, &client);
    printf("caption ");
    print_text(text);
    printf("class ");
    print_text(class_name);
    printf("style %08lx\nexstyle %08lx\nclient %ld %ld\n",
           (unsigned long)GetWindowLongW(main, GWL_STYLE),
           (unsigned long)GetWindowLongW(main, GWL_EXSTYLE), client.right, client.bottom);
    return 0;
}

BOOL CALLBACK list_control(HWND child, LPARAM)
{
    wchar_t class_name[64];
    wchar_t text[2048];
    GetClassNameW(child, class_name, 64);
    window_text(child, text, 2048);
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(NULL, GetParent(child), (POINT *)&rect, 2);
    char name[64];
    WideCharToMultiByte(CP_UTF8, 0, class_name, -1, name, sizeof name, NULL, NULL);
    printf("%d %s %08lx %ld %ld %ld %ld ", (int)(short)GetDlgCtrlID(child), name,
           (unsigned long)GetWindowLongW(child, GWL_STYLE), rect.left, rect.top,
           rect.right - rect.left, rect.bottom - rect.top);
    print_text(text);
    return TRUE;
}

int cmd_controls(void)
{
    HWND main = find_main();
    if (main == NULL)
        return 2;
    for (HWND child = GetWindow(main, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT))
        list_control(child, 0);
    return 0;
}

// The longest static text of a message box is its message.
BOOL CALLBACK longest_static(HWND child, LPARAM lparam)
{
    wchar_t *best = (wchar_t *)lparam;
    wchar_t class_name[64];
    wchar_t text[2048];
    GetClassNameW(child, class_name, 64);
    if (_wcsicmp(class_name, L"Static") == 0 && window_text(child, text, 2048) &&
        wcslen(text) > wcslen(best))
        wcscpy(best, text);
    return TRUE;
}

int cmd_msgbox(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    HWND box;
    while ((box = FindWindowW(L"#32770", L"Terminate Program")) == NULL) {
        if (GetTickCount() - start >= timeout_ms)
            return 1;
        Sleep(50);
    }
    HWND owner = GetWindow(box, GW_OWNER);
    printf("owner %s\n", owner == NULL ? "none" : owner == find_main() ? "main" : "other");
    wchar_t text[2048] = L"";
    EnumChildWindows(box, longest_static, (LPARAM)text);
    printf("text ");
    print_text(text);
    return 0;
}

int usage(void)
{
    fputs("usage: fwu_probe wait-window|status|watch|ports|select|button|window|controls|"
          "close-box|msgbox ...\n", stderr);
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in \n alone
    const char *command = argv[1];
    int result;
    if (strcmp(command, "wait-window") == 0 && argc == 3)
        result = cmd_wait_window(strtoul(argv[2], NULL, 10));
    else if (strcmp(command, "status") == 0)
        result = cmd_status();
    else if (strcmp(command, "watch") == 0 && argc >= 3)
        result = cmd_watch(strtoul(argv[2], NULL, 10), argc - 3, argv + 3);
    else if (strcmp(command, "ports") == 0)
        result = cmd_ports();
    else if (strcmp(command, "select") == 0 && argc == 3)
        result = cmd_select(strtol(argv[2], NULL, 10));
    else if (strcmp(command, "button") == 0)
        result = cmd_button();
    else if (strcmp(command, "close-box") == 0)
        result = cmd_close_box();
    else if (strcmp(command, "window") == 0)
        result = cmd_window();
    else if (strcmp(command, "controls") == 0)
        result = cmd_controls();
    else if (strcmp(command, "msgbox") == 0 && argc == 3)
        result = cmd_msgbox(strtoul(argv[2], NULL, 10));
    else
        return usage();
    fflush(stdout);
    return result;
}
