// The command line's options, parsed with CLI11. CLI11 reports errors by
// exceptions; they are all caught here, and the rest of the tool sees only
// the CliOptions record and a status. Every message starts with the
// program's name, says what was wrong, and names the help to read.
#include "cli/cli.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli_platform.h"
#include "protocol/engine.h"

namespace {

// When standard input is no terminal (a script, a bench's job), nobody will
// plug the device in later: the first answer is waited for this long.
const double SCRIPT_WAIT_S = 60;

// A value from the command line as a message shows it: cut when long.
std::string shown(const std::string &value)
{
    if (value.size() <= (size_t)CLI_ECHO_MAX)
        return value;
    return value.substr(0, (size_t)CLI_ECHO_MAX) + "... (" + std::to_string(value.size()) +
           " characters)";
}

// A usage error: the program, what was wrong, and the help of command.
void usage_error(const char *program, const char *command, const char *format, ...)
{
    char text[CLI_ECHO_MAX + 512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "%s: %s (see `%s%s%s --help`)\n", program, text, program,
            command[0] != '\0' ? " " : "", command);
}

// Copies text into a fixed field; 0, or -1 when it does not fit.
int copy_field(char *field, size_t size, const std::string &text)
{
    if (text.size() >= size || text.find('\0') != std::string::npos)
        return -1;
    memcpy(field, text.c_str(), text.size() + 1);
    return 0;
}

// An address such as 0x08100000 or 135266304.
int parse_address(const std::string &text, uint32_t *value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return -1;
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == NULL || *end != '\0' || v > 0xFFFFFFFFull)
        return -1;
    *value = (uint32_t)v;
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

const char DOCS[] =
    "The JSON objects' fields, the exit statuses and the slot states are written\n"
    "down in docs/cli.md (installed as /usr/share/doc/fwu/cli.md).\n";

const char UPDATE_FOOTER[] =
    "\n"
    "Every PORT is updated at the same time. Exit status: 0 every device verified;\n"
    "1 a device reported a wrong CRC of the written image; 2 usage or bad input\n"
    "(nothing was opened); 3 a port could not be opened or was lost; 4 a --wait or\n"
    "--timeout deadline passed; 5 every device verified but a record (--json, --log,\n"
    "standard output) could not be written; 130 interrupted. With several devices,\n"
    "the largest of theirs. With --continuous the run ends on Ctrl-C or after\n"
    "--count devices per slot, and its status is the worst of the devices recorded\n"
    "(130 when the interrupt cut a device short).\n"
    "When standard input is not a terminal the default --wait is 60 s.\n";

const char VERIFY_FOOTER[] =
    "\n"
    "Writes nothing and sends no reset: the devices stay in their boot loaders.\n"
    "A CRC match is not a byte-for-byte read-back (the boot loader cannot be\n"
    "read): each device reports the CRC-16 of every 1 KiB block and of the whole\n"
    "image region, and every one must match. The CRC-16 sees every run of 16 or\n"
    "fewer changed bits and every odd number of flipped bits; other differences\n"
    "inside one block go unseen with a chance of about 1 in 65,536, and a device\n"
    "whose flash differs in several blocks must escape in each of them.\n"
    "Exit status: 0 every device matches; 1 a device's flash differs (its blocks\n"
    "are named); 2, 3, 4, 5 as for update.\n";

// An option given an empty value (`--image ""`: a variable that was not
// set) is refused, never taken as not given. Returns 0, or -1 with it printed.
int refuse_empty_values(const CLI::App *app, const char *program)
{
    for (const CLI::Option *option : app->get_options()) {
        if (option->get_type_size() == 0 || option->count() == 0)
            continue;
        for (const std::string &value : option->results()) {
            if (value.empty()) {
                usage_error(program, app->get_name().c_str(),
                            "%s: an empty value (a variable that was not set?)",
                            option->get_name().c_str());
                return -1;
            }
        }
    }
    return 0;
}

// What update and verify both take.
struct DeviceRunArgs {
    std::vector<std::string> ports;
    std::string image, flash_end, json_path, log_path, wait, timeout, count;
    bool quiet = false, verbose = false, no_vector_check = false, allow_sample = false;
    bool no_reset = false, continuous = false;
};

void add_device_run_options(CLI::App *command, DeviceRunArgs *a)
{
    command
        ->add_option("PORT", a->ports,
                     "Serial ports: a device path (/dev/ttyUSB0) or COM name (COM7), or\n"
                     "usb:SERIAL for the USB adapter with that serial number")
        ->required();
    command
        ->add_option("--image", a->image,
                     "The image instead of the embedded one: raw binary (lying from\n"
                     "0x08004000), Intel HEX, S-records or ELF, told by its content\n"
                     "(`image FILE` shows what would be written)")
        ->type_name("FILE");
    command->add_flag("--no-vector-check", a->no_vector_check,
                      "Take an image without a Cortex-M vector table at 0x08004000");
    command->add_flag("--allow-sample", a->allow_sample,
                      "Take the embedded image even when it is the bundled sample");
    command
        ->add_option("--flash-end", a->flash_end,
                     "End of the device's flash (default 0x08100000); an image running\n"
                     "past it is refused")
        ->type_name("ADDR");
    command
        ->add_option("--wait", a->wait,
                     "How long to wait for each device's first answer: seconds, or\n"
                     "forever (default: forever on a terminal, where the device may be\n"
                     "plugged in late; 60 s when standard input is not a terminal)")
        ->type_name("SECONDS");
    command->add_option("--timeout", a->timeout, "An overall deadline per device (default: none)")
        ->type_name("SECONDS");
    command
        ->add_option("--json", a->json_path,
                     "Append one JSON object per device as it ends (JSON Lines);\n"
                     "- for standard output (the words then go to standard error)")
        ->type_name("FILE");
    command
        ->add_option("--log", a->log_path,
                     "Append every device's trace, each line with a timestamp and the\n"
                     "port, one result line per device, after a header line")
        ->type_name("FILE");
    command->add_flag("-q,--quiet", a->quiet, "Only the image line, errors and the final summary");
    command->add_flag("-v,--verbose", a->verbose,
                      "The trace of every device on standard output (standard error with --json -)");
}

// The shared options into o. Returns 0, or -1 with the reason printed.
int take_device_run_args(const DeviceRunArgs *a, const char *program, const char *command,
                         CliOptions *o)
{
    if (a->ports.size() > CLI_MAX_PORTS) {
        usage_error(program, command, "at most %d ports at once", (int)CLI_MAX_PORTS);
        return -1;
    }
    for (size_t i = 0; i < a->ports.size(); ++i) {
        const std::string &port = a->ports[i];
        if (port == "usb:") {
            usage_error(program, command, "usb: needs the adapter's serial number (usb:SERIAL; "
                                          "`%s list` shows them)", program);
            return -1;
        }
        if (port.empty() || copy_field(o->ports[i], PORT_NAME_CAPACITY, port) != 0) {
            usage_error(program, command, "not a port name: \"%s\"", shown(port).c_str());
            return -1;
        }
        for (size_t j = 0; j < i; ++j) {
            if (a->ports[j] == port) {
                usage_error(program, command, "%s is given twice", shown(port).c_str());
                return -1;
            }
        }
    }
    o->port_count = (int)a->ports.size();
    o->allow_sample = a->allow_sample;
    o->vector_check = a->no_vector_check ? 0 : 1;
    if (!a->flash_end.empty() &&
        (parse_address(a->flash_end, &o->flash_end) != 0 ||
         o->flash_end <= (uint32_t)IMAGE_BASE)) {
        usage_error(program, command, "--flash-end: an address above 0x%08x, not \"%s\"",
                    (unsigned)IMAGE_BASE, shown(a->flash_end).c_str());
        return -1;
    }
    if (copy_field(o->image_path, sizeof o->image_path, a->image) != 0 ||
        copy_field(o->json_path, sizeof o->json_path, a->json_path) != 0 ||
        copy_field(o->log_path, sizeof o->log_path, a->log_path) != 0) {
        usage_error(program, command, "a file name is longer than %d characters",
                    (int)CLI_PATH_CAPACITY - 1);
        return -1;
    }
    o->continuous = a->continuous;
    o->no_reset = a->no_reset;
    if (!a->count.empty()) {
        if (!a->continuous) {
            usage_error(program, command, "--count is for --continuous");
            return -1;
        }
        if (parse_count(a->count, &o->count) != 0) {
            usage_error(program, command, "--count: a number of devices, 1 or more, not \"%s\"",
                        shown(a->count).c_str());
            return -1;
        }
    }
    if (!a->wait.empty()) {
        if (a->continuous) {
            usage_error(program, command,
                        "--wait does not go with --continuous: a slot waits for its next device "
                        "for as long as it takes");
            return -1;
        }
        if (a->wait == "forever") {
            o->wait_s = -1;
        } else if (parse_seconds(a->wait, 0, &o->wait_s) != 0) {
            usage_error(program, command,
                        "--wait: a number of seconds, 0 or more, or forever, not \"%s\"",
                        shown(a->wait).c_str());
            return -1;
        }
    } else if (!a->continuous && !cli_stdin_is_terminal()) {
        o->wait_s = SCRIPT_WAIT_S;
    }
    if (!a->timeout.empty() && parse_seconds(a->timeout, 1, &o->timeout_s) != 0) {
        usage_error(program, command, "--timeout: a number of seconds, more than 0, not \"%s\"",
                    shown(a->timeout).c_str());
        return -1;
    }
    o->quiet = a->quiet;
    o->verbose = a->verbose;
    if (a->quiet && a->verbose) {
        usage_error(program, command, "--quiet and --verbose exclude each other");
        return -1;
    }
    return 0;
}

// A parse error in words: CLI11's message, shortened, with the program's
// name and the help of the command being parsed.
void parse_error(const CLI::App &app, const char *program, const CLI::ParseError &e)
{
    std::string command;
    for (const CLI::App *sub : app.get_subcommands())
        command = sub->get_name();
    usage_error(program, command.c_str(), "%s", shown(e.what()).c_str());
}

}  // namespace

int cli_parse_options(int argc, char **argv, const char *program, CliOptions *options)
{
    memset(options, 0, sizeof *options);
    options->program = program;
    options->argc = argc;
    options->argv = argv;
    options->flash_end = FWU_FLASH_END;
    options->wait_s = -1;
    options->timeout_s = -1;
    options->vector_check = 1;

    CLI::App app{"Device Firmware Update Tool: writes a firmware image into devices' boot\n"
                 "loaders over serial lines (115200 8E1), verifies it by CRC and resets them.",
                 program};
    bool version = false;
    app.add_flag("-V,--version", version, "The version, and the embedded image's size and CRC");
    app.require_subcommand(0, 1);

    DeviceRunArgs update_args, verify_args;
    bool list_json = false, image_json = false, image_no_vector_check = false;
    std::string image_file, raw_out, image_flash_end;

    CLI::App *update = app.add_subcommand("update", "Write the image into the devices on PORT...");
    add_device_run_options(update, &update_args);
    update->add_flag("--no-reset", update_args.no_reset,
                     "Write and verify the image, and leave the device in its boot loader");
    update->add_flag("--continuous", update_args.continuous,
                     "The production bench: every PORT is a slot that flashes device after\n"
                     "device (each taken only once it answers, and the next only once the\n"
                     "last is gone) until Ctrl-C or --count");
    update->add_option("--count", update_args.count,
                       "With --continuous: end each slot after N devices")
        ->type_name("N");
    update->footer(std::string(UPDATE_FOOTER) + DOCS);

    CLI::App *verify = app.add_subcommand(
        "verify", "Tell whether the devices on PORT... carry the image, writing nothing");
    add_device_run_options(verify, &verify_args);
    verify->footer(std::string(VERIFY_FOOTER) + DOCS);

    CLI::App *list = app.add_subcommand("list", "List the serial ports found, without opening them");
    list->add_flag("--json", list_json, "One JSON array instead of a table");

    CLI::App *image_command = app.add_subcommand(
        "image", "Show what would be written from FILE, and whether it would be refused");
    image_command->add_option("FILE", image_file, "An image file, as update --image takes it")
        ->required();
    image_command->add_option("--flash-end", image_flash_end,
                              "End of the device's flash (default 0x08100000)")
        ->type_name("ADDR");
    image_command->add_flag("--no-vector-check", image_no_vector_check,
                            "Do not ask for a Cortex-M vector table at 0x08004000");
    image_command->add_flag("--json", image_json, "One JSON object instead of words");
    image_command->add_option("--raw-out", raw_out,
                              "Also write the image as it lies in flash from 0x08004000\n"
                              "(gaps 0xFF, not padded), when it is accepted")
        ->type_name("FILE");
    image_command->footer("\nExit status: 0 accepted, 2 refused or bad usage, 1 --raw-out failed.\n");

    app.footer("\nRun `" + std::string(program) + " COMMAND --help` for a command's options.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        app.exit(e);
        return 0;
    } catch (const CLI::CallForAllHelp &e) {
        app.exit(e);
        return 0;
    } catch (const CLI::ParseError &e) {
        parse_error(app, program, e);
        return -1;
    } catch (...) {
        usage_error(program, "", "the command line could not be read");
        return -1;
    }

    if (version) {
        options->command = CLI_VERSION;
        return 0;
    }
    if (image_command->parsed()) {
        if (refuse_empty_values(image_command, program) != 0)
            return -1;
        options->command = CLI_IMAGE;
        options->json = image_json;
        options->vector_check = image_no_vector_check ? 0 : 1;
        if (copy_field(options->image_path, sizeof options->image_path, image_file) != 0 ||
            copy_field(options->raw_out, sizeof options->raw_out, raw_out) != 0) {
            usage_error(program, "image", "a file name is longer than %d characters",
                        (int)CLI_PATH_CAPACITY - 1);
            return -1;
        }
        if (!image_flash_end.empty() &&
            (parse_address(image_flash_end, &options->flash_end) != 0 ||
             options->flash_end <= (uint32_t)IMAGE_BASE)) {
            usage_error(program, "image", "--flash-end: an address above 0x%08x, not \"%s\"",
                        (unsigned)IMAGE_BASE, shown(image_flash_end).c_str());
            return -1;
        }
        return 0;
    }
    if (list->parsed()) {
        options->command = CLI_LIST;
        options->json = list_json;
        return 0;
    }
    if (update->parsed()) {
        options->command = CLI_UPDATE;
        if (refuse_empty_values(update, program) != 0 ||
            take_device_run_args(&update_args, program, "update", options) != 0)
            return -1;
        return 0;
    }
    if (verify->parsed()) {
        options->command = CLI_VERIFY;
        if (refuse_empty_values(verify, program) != 0 ||
            take_device_run_args(&verify_args, program, "verify", options) != 0)
            return -1;
        return 0;
    }
    fputs(app.help().c_str(), stdout);
    return 0;
}
