// What the command line needs of the system beyond the serial link: threads
// and a lock, Ctrl-C, the clocks, whether standard error is a terminal, the
// platform's name, and what its output files are and how they are written.
// One implementation file per platform (cli_platform_posix.cpp,
// cli_platform_win32.cpp).
#ifndef FWU_CLI_CLI_PLATFORM_H
#define FWU_CLI_CLI_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "serial/monotonic.h"

// A thread running fn(argument). Returns 0, or -1 when it could not start.
typedef void (*CliThreadMain)(void *argument);
struct CliThread {
    void *handle;
};
int cli_start_thread(CliThread *thread, CliThreadMain fn, void *argument);
void cli_join_thread(CliThread *thread);

// One process-wide lock for what the update threads share: the output
// streams, the log and JSON files, and each device's progress.
void cli_lock(void);
void cli_unlock(void);

// Ctrl-C, Ctrl-Break, SIGINT, SIGTERM and SIGHUP ask every update to stop.
// Installed once; a second request ends the process at once.
void cli_install_stop_handlers(void);
// 0 until a stop was asked for; then the exit status the process should end
// with (130 for an interrupt, 128 + the signal's number otherwise).
int cli_stop_requested(void);

// The wall clock as "2026-12-08T10:11:12.345Z" (UTC), into text (at least
// 32 bytes).
void cli_utc_timestamp(char *text, size_t size);

// 1 when standard error is an interactive terminal that understands the
// cursor movements of the in-place progress display; sets it up for them.
int cli_stderr_is_live_terminal(void);
// Its width in columns (80 when it does not say).
int cli_stderr_columns(void);

// The width in columns of the terminal on standard output; 0 when standard
// output is no terminal (or it does not say).
int cli_stdout_columns(void);

// The operating system and processor, for --version: "linux x86_64".
const char *cli_platform_name(void);

// Sleeps for about ms milliseconds.
void cli_sleep_ms(uint32_t ms);

// 1 when standard input is an interactive terminal (someone may plug the
// device in while the tool waits), 0 for a script's pipe or file.
int cli_stdin_is_terminal(void);

// This machine's name, into text (at least 64 bytes); "" when unknown.
void cli_host_name(char *text, size_t size);

// 32 hex digits from the system's random source (or, failing that, the time
// and the process), naming one run: the same in every record it writes.
void cli_run_id(char *text, size_t size);

// ---------------------------------------------------------------------------
// Output files (the rules, and their words, are cli_output.cpp's)

// What a path names, links followed.
enum CliFileKind {
    CLI_FILE_UNKNOWN = 0,  // it cannot be looked at (opening it will say why)
    CLI_FILE_ABSENT,       // nothing there yet
    CLI_FILE_REGULAR,
    CLI_FILE_DIRECTORY,
    CLI_FILE_FIFO,         // a FIFO or a pipe
    CLI_FILE_DEVICE,       // a character or block device; Windows: COM1, NUL, \\.\ paths
    CLI_FILE_OTHER         // a socket, ...
};

// A path or an open file as the system tells it.
struct CliFileFacts {
    CliFileKind kind;
    int link;            // the path itself is a symbolic link (Windows: a reparse point)
    int identified;      // volume and index tell the file: two paths with the same
    uint64_t volume;     //   are one file, whatever links lead there (POSIX: st_dev,
    uint64_t index;      //   st_ino; Windows: the volume serial and the file index)
};

// What path names, looked at without opening it (so nothing waits and no
// device is opened).
void cli_path_facts(const char *path, CliFileFacts *facts);

// What standard output is.
void cli_stdout_facts(CliFileFacts *facts);

// Opens path for appending a run's records, creating it if it is not there
// and never truncating it, never waiting (POSIX: opened O_NONBLOCK, so a
// FIFO with no reader is refused rather than waited on; blocking again once
// open); *opened says what was opened. Returns the stream, or NULL with the
// reason in why.
FILE *cli_open_record_file(const char *path, CliFileFacts *opened, char *why, size_t why_size);

// Creates a new file beside path (in its directory, under a name of its
// own, with the permissions path has or a new file would get), open for
// writing; its name into temp. Returns the stream, or NULL with the reason in
// why (nothing created).
FILE *cli_create_beside(const char *path, char *temp, size_t temp_size, char *why,
                        size_t why_size);

// Flushes f to the disk and closes it. Returns 0, or -1 when a byte of it may
// not have been written.
int cli_close_synced(FILE *f);

// Renames temp over path, replacing the file there at once (Windows:
// MoveFileEx with MOVEFILE_REPLACE_EXISTING). Returns 0, or -1 with the reason
// in why (temp is then still there).
int cli_replace_file(const char *temp, const char *path, char *why, size_t why_size);

#endif
