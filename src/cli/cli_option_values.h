// The command line's option values, as CLI11 collected them, checked and
// taken into the CliOptions record. Nothing here knows CLI11. Every refusal
// is printed as a usage error: the program, what was wrong, and the help of
// the command to read.
#ifndef FWU_CLI_CLI_OPTION_VALUES_H
#define FWU_CLI_CLI_OPTION_VALUES_H

#include <string>
#include <vector>

#include "cli/cli.h"

// What update and verify both take, as given.
struct CliDeviceRunArgs {
    std::vector<std::string> ports;
    std::string image, format, flash_end, json_path, log_path, wait, timeout, count, stall,
        resend_after;
    bool quiet = false, verbose = false, no_vector_check = false, allow_sample = false;
    bool no_reset = false, continuous = false;
};

// What `image FILE` takes, as given.
struct CliImageArgs {
    std::string file, format, raw_out, flash_end;
    bool json = false, no_vector_check = false;
};

// A value from the command line as a message shows it: cut when long.
std::string cli_shown(const std::string &value);

// A usage error on standard error: "PROGRAM: TEXT (see `PROGRAM COMMAND --help`)".
void cli_usage_error(const char *program, const char *command, const char *format, ...);

// The values of update or verify (command) into o. Returns 0, or -1 with the
// reason printed.
int cli_take_device_run_args(const CliDeviceRunArgs *a, const char *program, const char *command,
                             CliOptions *o);

// The image options alone (--image, --format, --no-vector-check,
// --allow-sample, --flash-end) of update, verify or the screen (command "")
// into o. Returns 0, or -1 with the reason printed.
int cli_take_image_choice_args(const CliDeviceRunArgs *a, const char *program,
                               const char *command, CliOptions *o);

// The values of `image` into o. Returns 0, or -1 with the reason printed.
int cli_take_image_args(const CliImageArgs *a, const char *program, CliOptions *o);

#endif
