// How the command line writes what it is asked to write, the one way for
// every output: a record (--json, --log) is appended, never truncated; a
// whole file (--raw-out) is written beside its name and renamed over it once
// complete. An output that is a directory, a FIFO or a device (standard
// output aside, as "-"), or the same file as the image read, is refused
// before anything is written; nothing is removed that this run did not make.
#ifndef FWU_CLI_CLI_OUTPUT_H
#define FWU_CLI_CLI_OUTPUT_H

#include <stddef.h>
#include <stdio.h>

enum CliOutputUse {
    CLI_OUTPUT_RECORD,  // appended to; "-" is standard output
    CLI_OUTPUT_WHOLE    // replaced whole; a symbolic link and "-" are refused too
};

// Whether path may take an output of this use while the file input (NULL:
// none) is read. Returns 0, or -1 with the refusal printed: "PROGRAM: LABEL
// PATH: refused: a directory" ("PROGRAM: refused: ..." when label is NULL).
// "-" is standard output: it is refused only when it is the input.
int cli_check_output(const char *program, const char *label, const char *path, CliOutputUse use,
                     const char *input);

// Opens the record file path for appending, as cli_check_output allows and
// the file opened turns out to be. Returns the stream, or NULL with the reason
// printed.
FILE *cli_open_record(const char *program, const char *label, const char *path,
                      const char *input);

// Writes len bytes as the whole file path, as cli_check_output allows: into a
// new file beside it, renamed over it only once complete. Returns 0; -1 when
// path is refused (nothing written); -2 when it could not be written (the
// new file removed, path as it was). The reason is printed.
int cli_write_whole(const char *program, const char *label, const char *path,
                    const unsigned char *bytes, size_t len, const char *input);

// The reason for a failed write whose errno is error: the system's words,
// or "write failed" when it set none.
const char *cli_error_text(int error);

// Flushes and closes standard output once a command's verdict is in it.
// Returns status, or CLI_EXIT_RECORDS when status was 0 but the verdict could
// not all be written (said on standard error).
int cli_close_stdout(const char *program, int status);

#endif
