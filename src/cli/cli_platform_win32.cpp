// The command line's system services on Windows.
#include "cli/cli_platform.h"

#include <windows.h>

#include <errno.h>
#include <io.h>
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

// ---------------------------------------------------------------------------
// Output files

// What an open handle is: a disk file's volume serial and index tell it.
static void facts_of_handle(HANDLE handle, CliFileFacts *facts)
{
    DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION info;
    if (type == FILE_TYPE_PIPE) {
        facts->kind = CLI_FILE_FIFO;
    } else if (type == FILE_TYPE_CHAR) {
        facts->kind = CLI_FILE_DEVICE;
    } else if (type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info)) {
        facts->kind = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? CLI_FILE_DIRECTORY
                                                                       : CLI_FILE_REGULAR;
        facts->identified = 1;
        facts->volume = info.dwVolumeSerialNumber;
        facts->index = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    }
}

void cli_path_facts(const char *path, CliFileFacts *facts)
{
    memset(facts, 0, sizeof *facts);
    // A reserved name (COM1, NUL, CON) is a device wherever it is given: its
    // full path is in the device namespace, \\.\COM1. It is never opened.
    char full[MAX_PATH];
    DWORD full_len = GetFullPathNameA(path, sizeof full, full, NULL);
    if (full_len > 0 && full_len < sizeof full && strncmp(full, "\\\\.\\", 4) == 0) {
        facts->kind = CLI_FILE_DEVICE;
        return;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        facts->kind = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                          ? CLI_FILE_ABSENT
                          : CLI_FILE_UNKNOWN;
        return;
    }
    facts->link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (attributes & FILE_ATTRIBUTE_DEVICE) {
        facts->kind = CLI_FILE_DEVICE;
        return;
    }
    // Opened for its attributes only (a directory too), links followed.
    HANDLE handle = CreateFileA(path, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        facts->kind = attributes & FILE_ATTRIBUTE_DIRECTORY ? CLI_FILE_DIRECTORY : CLI_FILE_UNKNOWN;
        return;
    }
    facts_of_handle(handle, facts);
    CloseHandle(handle);
}

void cli_stdout_facts(CliFileFacts *facts)
{
    memset(facts, 0, sizeof *facts);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != NULL && out != INVALID_HANDLE_VALUE)
        facts_of_handle(out, facts);
}

FILE *cli_open_record_file(const char *path, CliFileFacts *opened, char *why, size_t why_size)
{
    memset(opened, 0, sizeof *opened);
    FILE *f = fopen(path, "a");
    if (f == NULL) {
        snprintf(why, why_size, "%s", strerror(errno));
        return NULL;
    }
    facts_of_handle((HANDLE)_get_osfhandle(_fileno(f)), opened);
    return f;
}

FILE *cli_create_beside(const char *path, char *temp, size_t temp_size, char *why,
                        size_t why_size)
{
    // The directory part, "." when there is none.
    const char *cut = strrchr(path, '\\');
    const char *slash = strrchr(path, '/');
    if (slash != NULL && (cut == NULL || slash > cut))
        cut = slash;
    if (cut == NULL && path[0] != '\0' && path[1] == ':')
        cut = path + 1;  // "C:name"
    char dir[MAX_PATH];
    int n = cut != NULL ? snprintf(dir, sizeof dir, "%.*s", (int)(cut - path) + 1, path)
                        : snprintf(dir, sizeof dir, ".");
    char name[MAX_PATH];
    if (n < 0 || (size_t)n >= sizeof dir - 14 || temp_size < MAX_PATH) {
        snprintf(why, why_size, "its name is too long");
        return NULL;
    }
    // A new empty file of a unique name, created here (CREATE_NEW).
    if (GetTempFileNameA(dir, "fwu", 0, name) == 0) {
        snprintf(why, why_size, "no file can be made beside it (error %lu)",
                 (unsigned long)GetLastError());
        return NULL;
    }
    snprintf(temp, temp_size, "%s", name);
    FILE *f = fopen(temp, "wb");
    if (f == NULL) {
        snprintf(why, why_size, "%s", strerror(errno));
        DeleteFileA(temp);
    }
    return f;
}

int cli_close_synced(FILE *f)
{
    int failed = fflush(f) != 0 || ferror(f) || _commit(_fileno(f)) != 0;
    return fclose(f) != 0 || failed ? -1 : 0;
}

int cli_replace_file(const char *temp, const char *path, char *why, size_t why_size)
{
    if (MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    snprintf(why, why_size, "it cannot be replaced (error %lu)", (unsigned long)GetLastError());
    return -1;
}

