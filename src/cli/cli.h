// The command line: `fwu update PORT...` and `fwu list` on Linux (the same
// program as the terminal screen), `fwu-cli.exe update|list` on Windows.
// Several devices are updated at once, each by its own engine on a thread of
// its own, with the dialog's frames, timeouts and resends, but reads that end
// as soon as a reply is in.
//
// Conventions: functions return 0 for success and -1 for failure, with the
// reason already printed on standard error; the commands return the exit
// status (CliExit); formatters return the length written, or -1.
#ifndef FWU_CLI_CLI_H
#define FWU_CLI_CLI_H

#include <stddef.h>
#include <stdint.h>

#include "image/image_file.h"
#include "protocol/engine.h"
#include "serial/serial.h"

enum {
    CLI_MAX_PORTS = 32,
    CLI_PATH_CAPACITY = 1024,
    CLI_TEXT_CAPACITY = OPEN_FAILURE_TEXT_CAPACITY,
    CLI_HEADER_CAPACITY = 4096,  // the log's header line
    CLI_ECHO_MAX = 200,          // a value given on the command line, echoed at most this long
    // A device's verified image is reset for at most this long.
    CLI_RESET_LIMIT_MS = 2000
};

enum CliCommand {
    CLI_RUN_NOTHING = 0,  // help was asked for, and printed
    CLI_UPDATE,
    CLI_LIST,
    CLI_VERSION,
    CLI_IMAGE,
    CLI_VERIFY
};

// Exit statuses. With several devices the status is the largest of theirs.
enum CliExit {
    CLI_EXIT_ALL_VERIFIED = 0,
    CLI_EXIT_CRC_MISMATCH = 1,  // a device reported a wrong region CRC ("FAILED")
    CLI_EXIT_USAGE = 2,         // usage or bad input, decided before any port is opened
    CLI_EXIT_PORT = 3,          // a port could not be opened or was lost
    CLI_EXIT_DEADLINE = 4,      // a --wait, --timeout or --stall deadline passed
    CLI_EXIT_RECORDS = 5,       // every device verified, but a record (the JSON, the log,
                                // standard output) could not be written
    CLI_EXIT_INTERRUPTED = 130  // Ctrl-C cut a device short
};

struct CliOptions {
    const char *program;  // "fwu" or "fwu-cli", for messages
    int argc;             // the command line as given, for the log
    char **argv;
    CliCommand command;
    int port_count;
    char ports[CLI_MAX_PORTS][PORT_NAME_CAPACITY];  // as given
    char image_path[CLI_PATH_CAPACITY];             // "": the embedded image
    ImageFormatChoice format;                       // --format: how image_path is read
    int vector_check;                               // 0 after --no-vector-check
    int allow_sample;                               // --allow-sample
    char raw_out[CLI_PATH_CAPACITY];                // image --raw-out: "" none
    uint32_t flash_end;                             // end of the device's flash
    double wait_s;                                  // < 0: wait until interrupted
    double timeout_s;                               // < 0: no overall deadline
    double stall_s;                                 // < 0: wait for each answer for ever
    uint32_t resend_after_ms;                       // 0: the resend timer follows the device
    char json_path[CLI_PATH_CAPACITY];              // "": none; "-": standard output
    char log_path[CLI_PATH_CAPACITY];               // "": none
    int quiet;
    int verbose;
    int json;        // list, image: JSON instead of words
    int no_reset;    // update --no-reset
    int continuous;  // update --continuous: every port a slot of a production line
    long count;      // --count: devices per slot, 0 for no limit
};

// How a device's update ended.
enum CliResult {
    CLI_RESULT_RUNNING = 0,
    CLI_RESULT_DONE,
    CLI_RESULT_FAILED,
    CLI_RESULT_PORT_LOST,
    CLI_RESULT_OPEN_FAILED,
    CLI_RESULT_TIMEOUT,
    CLI_RESULT_STOPPED,   // Ctrl-C or a signal
    CLI_RESULT_MATCH,     // verify: the device carries the image
    CLI_RESULT_MISMATCH,  // verify: its flash differs
    CLI_RESULT_STALLED,   // linked, then no answer for --stall
    CLI_RESULT_CURRENT,   // --continuous: it already held the image; not written
    CLI_RESULT_KINDS
};

// The word for a result in the JSON and the log ("done", "port-lost", ...).
const char *cli_result_name(CliResult result);

// Its exit status (CLI_EXIT_*; 0 for done).
int cli_result_exit_status(CliResult result);

// Range i of differing as flash addresses from base, ends included:
// "0x08004400-0x080047ff".
void cli_range_text(const DifferingBlocks *differing, int i, uint32_t base, char *text,
                    size_t size);

// What is reported for one device when it ends.
struct CliDeviceSummary {
    const char *port;       // as given
    const char *path;       // as opened ("" when it never got that far)
    CliResult result;
    int reset_confirmed;
    const char *image_name;    // the file as given, or "embedded"
    const char *image_format;  // "binary", "ihex", "srec", "elf"
    const char *image_sha256;  // of the file (or the embedded bytes)
    int64_t image_size;     // the image's own size
    int32_t padded_size;    // what is written: whole 1024-byte blocks
    uint16_t image_crc;     // the CRC-16 a device reports for the padded image
    int32_t device_crc;     // what this device reported; -1: nothing
    int32_t bytes;          // image bytes acknowledged
    uint32_t blocks;        // blocks acknowledged
    uint32_t resends;       // requests sent again after their reply was overdue
    double seconds;         // from the start to the end of this device's update
    const char *why;        // the reason in words; for done, "" or a note
    // Where and when, to trace a record back.
    const char *started_at; // UTC, ISO 8601 with milliseconds
    const char *ended_at;
    const char *host;
    const char *run_id;     // the same for every device of one run
    int adapter_known;      // the port's identity below was found
    int adapter_usb;        // ... and it is a USB adapter (vid_pid holds its ids)
    unsigned vid, pid;
    const char *adapter_serial;  // "" when none
    const char *adapter_by_id;   // Linux: the /dev/serial/by-id link, "" when none
    uint32_t stale_replies; // late answers to earlier requests, dropped
    uint32_t stale_bytes;   // bytes waiting on the line before a request, cleared
    const DifferingBlocks *differing;  // verify: the blocks that differ (NULL: none asked)
    uint32_t base;          // the image's flash address, for differing's offsets
    int slot;               // --continuous: the port's number (1 up), else 0
    long sequence;          // --continuous: the device's number on its slot, else 0
};

// Parses argv (argv[0] is the program, argv[1] the command) into options.
// Returns 0 (command CLI_RUN_NOTHING when help was asked for and printed),
// or -1 with the reason printed: a usage error.
int cli_parse_options(int argc, char **argv, const char *program, CliOptions *options);

// `fwu` without a command (the operator's screen): the image options alone
// (--image, --format, --no-vector-check, --allow-sample, --flash-end), as
// update takes them and with its refusals, into options. Returns 0, 1 when
// --help was asked for (nothing printed), or -1 with the reason printed: a
// usage error, or an argument that is none of them ("unknown command or
// option").
int cli_parse_image_options(int argc, char **argv, const char *program, CliOptions *options);

// The embedded image's size, padded size and CRC with the tool's version.
void cli_print_version(const char *program);

// `update`: runs every port's update at once and returns the exit status.
int cli_run_update(const CliOptions *options);

// `list`: the ports found, without opening them. Returns the exit status.
int cli_run_list(const CliOptions *options);

// The whole command line: parse, then run. Returns the exit status.
int cli_main(int argc, char **argv, const char *program);

// One JSON Lines object for summary (no newline), into text. Returns its
// length, or -1 when it does not fit.
int cli_format_device_json(const CliDeviceSummary *summary, const char *version, char *text,
                       size_t size);

// The ports of `list --json` as one JSON array, into text. Returns its
// length, or -1 when it does not fit.
struct PortInfo;
int cli_format_port_list_json(const PortInfo *ports, int count, char *text, size_t size);

#endif
