// The command line's option values checked and taken into CliOptions:
// numbers, addresses, file names and ports as given, each refused in words
// when it is not what its option needs.
#include "cli/cli_option_values.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli/cli_platform.h"
#include "image/image_choice.h"
#include "protocol/engine.h"

namespace {

// When standard input is no terminal (a script, a scheduled job), nobody will
// plug the device in later: the first answer is waited for this long, and
// once linked each answer this long.
const double SCRIPT_WAIT_S = 60;
const double SCRIPT_STALL_S = 30;

// --resend-after: at most an hour.
const long RESEND_AFTER_MAX_MS = 3600000;

// Copies text into a fixed field; 0, or -1 when it does not fit.
int copy_field(char *field, size_t size, const std::string &text)
{
    if (text.size() >= size || text.find('\0') != std::string::npos)
        return -1;
    memcpy(field, text.c_str(), text.size() + 1);
    return 0;
}

// A number of seconds: finite, and at least 0 (or more than 0 when
// positive). Returns 0, or -1.
int parse_seconds(const std::string &text, int positive, double *value)
{
    if (text.empty())
        return -1;
    char *end = NULL;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || end == NULL || *end != '\0' || !isfinite(v) || v < 0 ||
        (positive && v == 0))
        return -1;
    *value = v;
    return 0;
}

// A whole number from 1 up. Returns 0, or -1.
int parse_count(const std::string &text, long *value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return -1;
    char *end = NULL;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == NULL || *end != '\0' || v < 1)
        return -1;
    *value = v;
    return 0;
}

// --flash-end's and --format's values, when given, into o. Returns 0, or -1
// with the reason printed.
int take_image_values(const std::string &flash_end, const std::string &format,
                      const char *program, const char *command, CliOptions *o)
{
    if (!flash_end.empty() &&
        (flash_end.find('\0') != std::string::npos ||
         image_parse_flash_end(flash_end.c_str(), &o->flash_end) != 0)) {
        cli_usage_error(program, command, "--flash-end: an address above 0x%08x, not \"%s\"",
                        (unsigned)IMAGE_BASE, cli_shown(flash_end).c_str());
        return -1;
    }
    if (!format.empty() && image_format_choice(format.c_str(), &o->format) != 0) {
        cli_usage_error(program, command, "--format: auto, bin, hex, srec or elf, not \"%s\"",
                        cli_shown(format).c_str());
        return -1;
    }
    return 0;
}

}  // namespace

std::string cli_shown(const std::string &value)
{
    if (value.size() <= (size_t)CLI_ECHO_MAX)
        return value;
    return value.substr(0, (size_t)CLI_ECHO_MAX) + "... (" + std::to_string(value.size()) +
           " characters)";
}

void cli_usage_error(const char *program, const char *command, const char *format, ...)
{
    char text[CLI_ECHO_MAX + 512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "%s: %s (see `%s%s%s --help`)\n", program, text, program,
            command[0] != '\0' ? " " : "", command);
}

namespace {

// A file name as given into a path field of CliOptions. Returns 0, or -1
// with the reason printed.
int take_path(char *field, const std::string &text, const char *program, const char *command)
{
    if (copy_field(field, CLI_PATH_CAPACITY, text) == 0)
        return 0;
    cli_usage_error(program, command, "a file name is longer than %d characters",
                    (int)CLI_PATH_CAPACITY - 1);
    return -1;
}

// The ports, as given, into o. Returns 0, or -1 with the reason printed.
int take_ports(const std::vector<std::string> &ports, const char *program, const char *command,
               CliOptions *o)
{
    if (ports.size() > CLI_MAX_PORTS) {
        cli_usage_error(program, command, "at most %d ports at once", (int)CLI_MAX_PORTS);
        return -1;
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string &port = ports[i];
        if (port == "usb:") {
            cli_usage_error(program, command,
                            "usb: needs the adapter's serial number (usb:SERIAL; `%s list` "
                            "shows them)",
                            program);
            return -1;
        }
        if (port.empty() || copy_field(o->ports[i], PORT_NAME_CAPACITY, port) != 0) {
            cli_usage_error(program, command, "not a port name: \"%s\"", cli_shown(port).c_str());
            return -1;
        }
        for (size_t j = 0; j < i; ++j) {
            if (ports[j] == port) {
                cli_usage_error(program, command, "%s is given twice", cli_shown(port).c_str());
                return -1;
            }
        }
    }
    o->port_count = (int)ports.size();
    return 0;
}

// --count, --wait and --timeout into o (a default --wait when standard
// input is no terminal). Returns 0, or -1 with the reason printed.
int take_counts_and_waits(const CliDeviceRunArgs *a, const char *program, const char *command,
                          CliOptions *o)
{
    if (!a->count.empty()) {
        if (!a->continuous) {
            cli_usage_error(program, command, "--count is for --continuous");
            return -1;
        }
        if (parse_count(a->count, &o->count) != 0) {
            cli_usage_error(program, command, "--count: a number of devices, 1 or more, not \"%s\"",
                            cli_shown(a->count).c_str());
            return -1;
        }
    }
    if (!a->wait.empty()) {
        if (a->continuous) {
            cli_usage_error(program, command,
                            "--wait does not go with --continuous: a slot waits for its next "
                            "device for as long as it takes");
            return -1;
        }
        if (a->wait == "forever") {
            o->wait_s = -1;
        } else if (parse_seconds(a->wait, 0, &o->wait_s) != 0) {
            cli_usage_error(program, command,
                            "--wait: a number of seconds, 0 or more, or forever, not \"%s\"",
                            cli_shown(a->wait).c_str());
            return -1;
        }
    } else if (!a->continuous && !cli_stdin_is_terminal()) {
        o->wait_s = SCRIPT_WAIT_S;
    }
    if (!a->timeout.empty() && parse_seconds(a->timeout, 1, &o->timeout_s) != 0) {
        cli_usage_error(program, command, "--timeout: a number of seconds, more than 0, not \"%s\"",
                        cli_shown(a->timeout).c_str());
        return -1;
    }
    return 0;
}

// --stall and --resend-after into o (a default --stall when standard input
// is no terminal). Returns 0, or -1 with the reason printed.
int take_resending(const CliDeviceRunArgs *a, const char *program, const char *command,
                   CliOptions *o)
{
    if (a->stall.empty()) {
        if (!cli_stdin_is_terminal())
            o->stall_s = SCRIPT_STALL_S;
    } else if (a->stall != "forever" && parse_seconds(a->stall, 1, &o->stall_s) != 0) {
        cli_usage_error(program, command,
                        "--stall: a number of seconds, more than 0, or forever, not \"%s\"",
                        cli_shown(a->stall).c_str());
        return -1;
    }
    long ms = 0;
    if (!a->resend_after.empty() &&
        (parse_count(a->resend_after, &ms) != 0 || ms > RESEND_AFTER_MAX_MS)) {
        cli_usage_error(program, command,
                        "--resend-after: a number of milliseconds from 1 to %ld, not \"%s\"",
                        RESEND_AFTER_MAX_MS, cli_shown(a->resend_after).c_str());
        return -1;
    }
    o->resend_after_ms = (uint32_t)ms;
    return 0;
}

}  // namespace

int cli_take_image_choice_args(const CliDeviceRunArgs *a, const char *program,
                               const char *command, CliOptions *o)
{
    o->allow_sample = a->allow_sample;
    o->vector_check = a->no_vector_check ? 0 : 1;
    if (take_image_values(a->flash_end, a->format, program, command, o) != 0)
        return -1;
    return take_path(o->image_path, a->image, program, command);
}

int cli_take_device_run_args(const CliDeviceRunArgs *a, const char *program, const char *command,
                             CliOptions *o)
{
    if (take_ports(a->ports, program, command, o) != 0 ||
        cli_take_image_choice_args(a, program, command, o) != 0)
        return -1;
    if (take_path(o->json_path, a->json_path, program, command) != 0 ||
        take_path(o->log_path, a->log_path, program, command) != 0)
        return -1;
    o->continuous = a->continuous;
    o->no_reset = a->no_reset;
    if (take_counts_and_waits(a, program, command, o) != 0 ||
        take_resending(a, program, command, o) != 0)
        return -1;
    o->quiet = a->quiet;
    o->verbose = a->verbose;
    if (a->quiet && a->verbose) {
        cli_usage_error(program, command, "--quiet and --verbose exclude each other");
        return -1;
    }
    return 0;
}

int cli_take_image_args(const CliImageArgs *a, const char *program, CliOptions *o)
{
    o->command = CLI_IMAGE;
    o->json = a->json;
    o->vector_check = a->no_vector_check ? 0 : 1;
    if (take_path(o->image_path, a->file, program, "image") != 0 ||
        take_path(o->raw_out, a->raw_out, program, "image") != 0)
        return -1;
    return take_image_values(a->flash_end, a->format, program, "image", o);
}
