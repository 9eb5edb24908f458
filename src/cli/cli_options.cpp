// The command line's options, parsed with CLI11. CLI11 reports errors by
// exceptions; they are all caught here, and the rest of the tool sees only
// the CliOptions record and a status.
#include "cli/cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "protocol/engine.h"

namespace {

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

const char UPDATE_FOOTER[] =
    "\n"
    "Every PORT is updated at the same time. Exit status: 0 every device verified;\n"
    "1 a device reported a wrong CRC of the written image; 2 usage or bad input;\n"
    "3 a port could not be opened or was lost; 4 a --wait or --timeout deadline\n"
    "passed; 130 interrupted. With several devices, the largest of theirs.\n";

// An option given an empty value (`--image ""`: a variable that was not
// set) is refused, never taken as not given. Returns 0, or -1 with it printed.
int refuse_empty_values(const CLI::App *app, const char *program)
{
    for (const CLI::Option *option : app->get_options()) {
        if (option->get_type_size() == 0 || option->count() == 0)
            continue;
        for (const std::string &value : option->results()) {
            if (value.empty()) {
                fprintf(stderr, "%s: %s: an empty value (a variable that was not set?)\n",
                        program, option->get_name().c_str());
                return -1;
            }
        }
    }
    return 0;
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

    std::vector<std::string> ports;
    std::string image, flash_end, json_path, log_path;
    double wait_s = -1, timeout_s = -1;
    bool quiet = false, verbose = false, list_json = false;
    bool no_vector_check = false, allow_sample = false, image_json = false;
    std::string image_file, raw_out;

    CLI::App *update = app.add_subcommand("update", "Write the image into the devices on PORT...");
    update->add_option("PORT", ports,
                       "Serial ports: a device path (/dev/ttyUSB0) or COM name (COM7), or\n"
                       "usb:SERIAL for the USB adapter with that serial number")
        ->required();
    update->add_option("--image", image,
                       "The image to write instead of the embedded one: raw binary (lying\n"
                       "from 0x08004000), Intel HEX, S-records or ELF, told by its content\n"
                       "(`image FILE` shows what would be written)")
        ->type_name("FILE");
    update->add_flag("--no-vector-check", no_vector_check,
                     "Write an image without a Cortex-M vector table at 0x08004000");
    update->add_flag("--allow-sample", allow_sample,
                     "Write the embedded image even when it is the bundled sample");
    update->add_option("--flash-end", flash_end,
                       "End of the device's flash (default 0x08100000); an image running\n"
                       "past it is refused")
        ->type_name("ADDR");
    update->add_option("--wait", wait_s,
                       "How long to wait for each device's first answer (default: until\n"
                       "interrupted; the device may be plugged in late)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    update->add_option("--timeout", timeout_s, "An overall deadline per device (default: none)")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    update->add_option("--json", json_path,
                       "Append one JSON object per device as it ends (JSON Lines);\n"
                       "- for standard output")
        ->type_name("FILE");
    update->add_option("--log", log_path,
                       "Append every device's trace, each line with a timestamp and the\n"
                       "port, and one result line per device")
        ->type_name("FILE");
    update->add_flag("-q,--quiet", quiet, "Only the image line, errors and the final summary");
    update->add_flag("-v,--verbose", verbose, "The trace of every device on standard output");
    update->footer(UPDATE_FOOTER);

    CLI::App *list = app.add_subcommand("list", "List the serial ports found, without opening them");
    list->add_flag("--json", list_json, "One JSON array instead of a table");

    CLI::App *image_command = app.add_subcommand(
        "image", "Show what would be written from FILE, and whether it would be refused");
    image_command->add_option("FILE", image_file, "An image file, as update --image takes it")
        ->required();
    image_command->add_option("--flash-end", flash_end,
                              "End of the device's flash (default 0x08100000)")
        ->type_name("ADDR");
    image_command->add_flag("--no-vector-check", no_vector_check,
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
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : -1;  // help asked for: printed, nothing to run
    } catch (...) {
        fprintf(stderr, "%s: the command line could not be read\n", program);
        return -1;
    }

    if (version) {
        options->command = CLI_VERSION;
        return 0;
    }
    if (refuse_empty_values(update, program) != 0 ||
        refuse_empty_values(image_command, program) != 0)
        return -1;
    options->vector_check = no_vector_check ? 0 : 1;
    if (image_command->parsed()) {
        options->command = CLI_IMAGE;
        options->json = image_json;
        if (copy_field(options->image_path, sizeof options->image_path, image_file) != 0 ||
            copy_field(options->raw_out, sizeof options->raw_out, raw_out) != 0) {
            fprintf(stderr, "%s: a file name is too long\n", program);
            return -1;
        }
    }
    if (!flash_end.empty() &&
        (parse_address(flash_end, &options->flash_end) != 0 ||
         options->flash_end <= (uint32_t)IMAGE_BASE)) {
        fprintf(stderr, "%s: --flash-end: not an address above 0x%08x: %s\n", program,
                (unsigned)IMAGE_BASE, flash_end.c_str());
        return -1;
    }
    if (image_command->parsed())
        return 0;
    if (list->parsed()) {
        options->command = CLI_LIST;
        options->json = list_json;
        return 0;
    }
    if (!update->parsed()) {
        fputs(app.help().c_str(), stdout);
        return 0;
    }

    options->command = CLI_UPDATE;
    if (ports.size() > CLI_MAX_PORTS) {
        fprintf(stderr, "%s: at most %d ports at once\n", program, (int)CLI_MAX_PORTS);
        return -1;
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].empty() || copy_field(options->ports[i], PORT_NAME_CAPACITY, ports[i]) != 0) {
            fprintf(stderr, "%s: not a port name: \"%s\"\n", program, ports[i].c_str());
            return -1;
        }
        for (size_t j = 0; j < i; ++j) {
            if (ports[j] == ports[i]) {
                fprintf(stderr, "%s: %s is given twice\n", program, ports[i].c_str());
                return -1;
            }
        }
    }
    options->port_count = (int)ports.size();
    options->allow_sample = allow_sample;

    if (copy_field(options->image_path, sizeof options->image_path, image) != 0 ||
        copy_field(options->json_path, sizeof options->json_path, json_path) != 0 ||
        copy_field(options->log_path, sizeof options->log_path, log_path) != 0) {
        fprintf(stderr, "%s: a file name is too long\n", program);
        return -1;
    }
    options->wait_s = wait_s;
    options->timeout_s = timeout_s;
    options->quiet = quiet;
    options->verbose = verbose;
    if (quiet && verbose) {
        fprintf(stderr, "%s: --quiet and --verbose exclude each other\n", program);
        return -1;
    }
    return 0;
}
