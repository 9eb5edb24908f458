// The command line's outputs, written one way (cli_output.h): what may be
// written, and how; the platform's part (what a path is, the new file beside
// it, the rename) is in cli_platform_*.cpp.
#include "cli/cli_output.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "cli/cli.h"
#include "cli/cli_platform.h"

namespace {

enum { WHY_CAPACITY = CLI_ECHO_MAX + 160 };

// Why what facts tell may not take an output of this use (NULL: it may).
const char *kind_refusal(const CliFileFacts *facts, CliOutputUse use)
{
    switch (facts->kind) {
    case CLI_FILE_DIRECTORY:
        return "a directory";
    case CLI_FILE_FIFO:
        return "a FIFO (fwu writes files; it never waits for a reader)";
    case CLI_FILE_DEVICE:
        return use == CLI_OUTPUT_RECORD ? "a device (fwu writes files; - is standard output)"
                                        : "a device";
    case CLI_FILE_OTHER:
        return "not a plain file";
    default:
        break;
    }
    if (use == CLI_OUTPUT_WHOLE && facts->link)
        return "a symbolic link (fwu replaces a file, never what a link leads to: name the "
               "file itself)";
    return NULL;
}

int same_file(const CliFileFacts *a, const CliFileFacts *b)
{
    return a->identified && b->identified && a->volume == b->volume && a->index == b->index;
}

// The refusal of an output at facts (standard output's when to_stdout),
// into why. Returns 0 when there is none, else -1.
int refusal(const CliFileFacts *facts, int to_stdout, CliOutputUse use, const char *input,
            char *why, size_t why_size)
{
    const char *kind = to_stdout ? NULL : kind_refusal(facts, use);
    if (kind != NULL) {
        snprintf(why, why_size, "%s", kind);
        return -1;
    }
    CliFileFacts read;
    if (input == NULL || input[0] == '\0')
        return 0;
    cli_path_facts(input, &read);
    if (!same_file(facts, &read))
        return 0;
    snprintf(why, why_size, "%s the image file (%.*s), which would be changed",
             to_stdout ? "standard output is" : "the same file as", CLI_ECHO_MAX, input);
    return -1;
}

// "PROGRAM: LABEL PATH: WHAT: WHY", or without a label "PROGRAM: WHAT: WHY".
void say(const char *program, const char *label, const char *path, const char *what,
         const char *why)
{
    if (label == NULL)
        fprintf(stderr, "%s: %s: %s\n", program, what, why);
    else
        fprintf(stderr, "%s: %s %.*s: %s: %s\n", program, label, CLI_ECHO_MAX, path, what, why);
}

}  // namespace

const char *cli_error_text(int error)
{
    return error != 0 ? strerror(error) : "write failed";
}

int cli_check_output(const char *program, const char *label, const char *path, CliOutputUse use,
                     const char *input)
{
    char why[WHY_CAPACITY];
    CliFileFacts facts;
    int to_stdout = strcmp(path, "-") == 0;
    int refused;
    if (to_stdout && use == CLI_OUTPUT_WHOLE) {
        snprintf(why, sizeof why, "standard output carries the words or the JSON: name a file");
        refused = 1;
    } else {
        if (to_stdout)
            cli_stdout_facts(&facts);
        else
            cli_path_facts(path, &facts);
        refused = refusal(&facts, to_stdout, use, input, why, sizeof why) != 0;
    }
    if (refused)
        say(program, label, path, "refused", why);
    return refused ? -1 : 0;
}

FILE *cli_open_record(const char *program, const char *label, const char *path,
                      const char *input)
{
    if (cli_check_output(program, label, path, CLI_OUTPUT_RECORD, input) != 0)
        return NULL;
    char why[WHY_CAPACITY];
    CliFileFacts opened;
    FILE *f = cli_open_record_file(path, &opened, why, sizeof why);
    if (f == NULL) {
        say(program, label, path, "cannot be opened for appending", why);
        return NULL;
    }
    // What was opened is looked at too: a file swapped in meanwhile is refused.
    if (refusal(&opened, 0, CLI_OUTPUT_RECORD, input, why, sizeof why) != 0) {
        fclose(f);
        say(program, label, path, "refused", why);
        return NULL;
    }
    return f;
}

int cli_write_whole(const char *program, const char *label, const char *path,
                    const unsigned char *bytes, size_t len, const char *input)
{
    if (cli_check_output(program, label, path, CLI_OUTPUT_WHOLE, input) != 0)
        return -1;
    char temp[CLI_PATH_CAPACITY + 32], why[WHY_CAPACITY];
    FILE *f = cli_create_beside(path, temp, sizeof temp, why, sizeof why);
    if (f == NULL) {
        say(program, label, path, "cannot be written", why);
        return -2;
    }
    errno = 0;
    int failed = fwrite(bytes, 1, len, f) != len;
    int error = errno;
    if (cli_close_synced(f) != 0 && !failed) {
        failed = 1;
        error = errno;
    }
    // Looked at again just before the rename: what is there now is replaced.
    int refused = !failed && cli_check_output(program, label, path, CLI_OUTPUT_WHOLE, input) != 0;
    if (!failed && !refused && cli_replace_file(temp, path, why, sizeof why) == 0)
        return 0;
    remove(temp);  // this run's own file, never path
    if (failed)
        say(program, label, path, "cannot be written", cli_error_text(error));
    else if (!refused)
        say(program, label, path, "cannot be written", why);
    return refused ? -1 : -2;
}

int cli_close_stdout(const char *program, int status)
{
    errno = 0;
    int failed = fflush(stdout) != 0 || ferror(stdout);
    int error = errno;
    if (fclose(stdout) != 0 && !failed) {
        failed = 1;
        error = errno;
    }
    if (!failed)
        return status;
    fprintf(stderr, "%s: standard output: cannot be written (%s): the verdict is not all there\n",
            program, cli_error_text(error));
    return status == CLI_EXIT_ALL_VERIFIED ? CLI_EXIT_RECORDS : status;
}
