// The command line's options, parsed with CLI11. CLI11 reports errors by
// exceptions; they are all caught here, and the rest of the tool sees only
// the CliOptions record and a status. Every message starts with the
// program's name, says what was wrong, and names the help to read.
#include "cli/cli.h"
#include "cli/cli_option_values.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace {

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
                cli_usage_error(program, app->get_name().c_str(),
                            "%s: an empty value (a variable that was not set?)",
                            option->get_name().c_str());
                return -1;
            }
        }
    }
    return 0;
}

void add_device_run_options(CLI::App *command, CliDeviceRunArgs *a)
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

// A parse error in words: CLI11's message, shortened, with the program's
// name and the help of the command being parsed.
void parse_error(const CLI::App &app, const char *program, const CLI::ParseError &e)
{
    std::string command;
    for (const CLI::App *sub : app.get_subcommands())
        command = sub->get_name();
    cli_usage_error(program, command.c_str(), "%s", cli_shown(e.what()).c_str());
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

    CliDeviceRunArgs update_args, verify_args;
    CliImageArgs image_args;
    bool list_json = false;

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
    image_command->add_option("FILE", image_args.file, "An image file, as update --image takes it")
        ->required();
    image_command->add_option("--flash-end", image_args.flash_end,
                              "End of the device's flash (default 0x08100000)")
        ->type_name("ADDR");
    image_command->add_flag("--no-vector-check", image_args.no_vector_check,
                            "Do not ask for a Cortex-M vector table at 0x08004000");
    image_command->add_flag("--json", image_args.json, "One JSON object instead of words");
    image_command->add_option("--raw-out", image_args.raw_out,
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
        cli_usage_error(program, "", "the command line could not be read");
        return -1;
    }

    if (version) {
        options->command = CLI_VERSION;
        return 0;
    }
    if (image_command->parsed()) {
        if (refuse_empty_values(image_command, program) != 0)
            return -1;
        return cli_take_image_args(&image_args, program, options);
    }
    if (list->parsed()) {
        options->command = CLI_LIST;
        options->json = list_json;
        return 0;
    }
    for (CLI::App *command : {update, verify}) {
        if (!command->parsed())
            continue;
        options->command = command == verify ? CLI_VERIFY : CLI_UPDATE;
        if (refuse_empty_values(command, program) != 0)
            return -1;
        return cli_take_device_run_args(command == verify ? &verify_args : &update_args, program,
                                        command->get_name().c_str(), options);
    }
    fputs(app.help().c_str(), stdout);
    return 0;
}
