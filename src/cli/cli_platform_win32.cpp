// The command line's system services on Windows.
#include "cli/cli_platform.h"

#include <windows.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Threads and the lock

struct CliThreadStart {
    CliThreadMain fn;
    void *argument;
    HANDLE handle;
};

enum { CLI_THREAD_STARTS = 64 };
static CliThreadStart thread_starts[CLI_THREAD_STARTS];
static int thread_starts_used;

static DWORD WINAPI thread_entry(LPVOID start)
{
    CliThreadStart *s = (CliThreadStart *)start;
    s->fn(s->argument);
    return 0;
}

int cli_start_thread(CliThread *thread, CliThreadMain fn, void *argument)
{
    if (thread_starts_used >= CLI_THREAD_STARTS)
        return -1;
    CliThreadStart *s = &thread_starts[thread_starts_used];
    s->fn = fn;
    s->argument = argument;
    s->handle = CreateThread(NULL, 0, thread_entry, s, 0, NULL);
    if (s->handle == NULL)
        return -1;
    thread_starts_used++;
    thread->handle = s;
    return 0;
}

void cli_join_thread(CliThread *thread)
{
    CliThreadStart *s = (CliThreadStart *)thread->handle;
    if (s == NULL)
        return;
    WaitForSingleObject(s->handle, INFINITE);
    CloseHandle(s->handle);
    thread->handle = NULL;
}

static CRITICAL_SECTION shared_lock;
static INIT_ONCE lock_once = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK init_lock(PINIT_ONCE, PVOID, PVOID *)
{
    InitializeCriticalSection(&shared_lock);
    return TRUE;
}

void cli_lock(void)
{
    InitOnceExecuteOnce(&lock_once, init_lock, NULL, NULL);
    EnterCriticalSection(&shared_lock);
}

void cli_unlock(void)
{
    LeaveCriticalSection(&shared_lock);
}

// ---------------------------------------------------------------------------
// Stopping

static volatile LONG stop_status;

static BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Asked twice: end at once; the ports close with the process.
        if (InterlockedCompareExchange(&stop_status, 130, 0) != 0)
            ExitProcess(130);
        return TRUE;
    default:
        return FALSE;
    }
}

void cli_install_stop_handlers(void)
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int cli_stop_requested(void)
{
    return (int)stop_status;
}

// ---------------------------------------------------------------------------
// Clocks

void cli_utc_timestamp(char *text, size_t size)
{
    SYSTEMTIME t;
    GetSystemTime(&t);
    snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

void cli_sleep_ms(uint32_t ms)
{
    Sleep(ms);
}

// ---------------------------------------------------------------------------
// The console

int cli_stderr_is_live_terminal(void)
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode))
        return 0;  // a file or a pipe
    // The cursor movements need a console that interprets escape sequences
    // (Windows 10 and later).
    if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
        !SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return 0;
    return 1;
}

int cli_stderr_columns(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width >= 20)
            return width;
    }
    return 80;
}

int cli_stdout_columns(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Errors in words

const char *cli_platform_name(void)
{
    return sizeof(void *) == 8 ? "windows x86-64" : "windows i686";
}

// ---------------------------------------------------------------------------
// Records and what identifies a run

int cli_stdin_is_terminal(void)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ? 1 : 0;
}

void cli_host_name(char *text, size_t size)
{
    if (size == 0)
        return;
    text[0] = '\0';
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD len = sizeof name;
    if (GetComputerNameA(name, &len) && len < sizeof name) {
        name[len] = '\0';
        snprintf(text, size, "%s", name);
    }
}

void cli_run_id(char *text, size_t size)
{
    // The counter, the time and the process mixed: unique enough to tie
    // the records of one run together.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t mix = (uint64_t)counter.QuadPart ^ ((uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime) ^
                   (uint64_t)GetCurrentProcessId() << 40;
    for (size_t i = 0; i < 16 && 2 * i + 2 < size; ++i) {
        mix = mix * 6364136223846793005u + 1442695040888963407u;
        snprintf(text + 2 * i, 3, "%02x", (unsigned)(mix >> 56));
    }
}

FILE *cli_open_record_file(const char *path, char *why, size_t why_size)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        snprintf(why, why_size, "a directory");
        return NULL;
    }
    FILE *f = fopen(path, "a");
    if (f == NULL)
        snprintf(why, why_size, "%s", strerror(errno));
    return f;
}

