// The command line's options, parsed with CLI11. CLI11 reports errors by
// exceptions; they are all caught here, and the rest of the tool sees only
// the CliOptions record and a status. Every message starts with the
// program's name, says what was wrong, and names the help to read. Help
// is printed in the layout of cli_help.h.
#include "cli/cli.h"
#include "cli/cli_help.h"
#include "cli/cli_option_values.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace {

// Where what a command's help names is written down at length: docs/cli.md,
// and where the install put it (nothing for a build that installs no docs).
std::string docs_sentence(const char *what)
{
    std::string where = "docs/cli.md";
    if (cli_doc_dir()[0] != '\0')
        where += std::string(" (installed as ") + cli_doc_dir() + "/cli.md; man fwu)";
    return "\n" + std::string(what) + " are written down in " + where + ".\n";
}

const char UPDATE_FOOTER[] =
    "\n"
    "Every PORT is updated at the same time.\n"
    "\n"
    "Exit status: 0 every device verified;\n"
    "1 a device reported a wrong CRC of the written image; 2 usage or bad input\n"
    "(nothing was opened); 3 a port could not be opened or was lost; 4 a --wait,\n"
    "--timeout or --stall deadline passed; 5 every device verified but a record\n"
    "(--json, --log, standard output) could not be written; 130 interrupted. With\n"
    "several devices, the largest of theirs. With --continuous the run ends on\n"
    "Ctrl-C or after --count devices per slot, and its status is the worst of the\n"
    "devices recorded (130 when the interrupt cut a device short; 0 for a device\n"
    "that already held the image).\n"
    "When standard input is not a terminal the default --wait is 60 s and the\n"
    "default --stall 30 s.\n";

const char VERIFY_FOOTER[] =
    "\n"
    "Writes nothing and sends no reset: the devices stay in their boot loaders.\n"
    "A CRC match is not a byte-for-byte read-back (the boot loader cannot be\n"
    "read): each device reports the CRC-16 of every 1 KiB block and of the whole\n"
    "image region, and every one must match. The CRC-16 sees every run of 16 or\n"
    "fewer changed bits and every odd number of flipped bits; other differences\n"
    "inside one block go unseen with a chance of about 1 in 65,536, and a device\n"
    "whose flash differs in several blocks must escape in each of them.\n"
    "\n"
    "Exit status: 0 every device matches; 1 a device's flash differs (its blocks\n"
    "are named); 2, 3, 4, 5 as for update.\n";

// An option given an empty value (`--image ""`: a variable that was not
// set) is refused, never taken as not given; so is a flag given more than
// once (`-vv`): each says one thing, and there is no more of it. The
// message names command's help ("": the program's). Returns 0, or -1 with
// it printed.
int refuse_empty_values(const CLI::App *app, const char *program, const char *command)
{
    for (const CLI::Option *option : app->get_options()) {
        int flag = option->get_items_expected_max() == 0;
        if (flag && option->count() > 1) {
            cli_usage_error(program, command,
                            "%s: given %u times, but it is on or off: give it once",
                            option->get_name().c_str(), (unsigned)option->count());
            return -1;
        }
        if (flag || option->count() == 0)
            continue;
        for (const std::string &value : option->results()) {
            if (value.empty()) {
                cli_usage_error(program, command,
                                "%s: an empty value (a variable that was not set?)",
                                option->get_name().c_str());
                return -1;
            }
        }
    }
    return 0;
}

// One option of update and verify: a value (type names it) or a flag
// (type NULL), taken into the field of CliDeviceRunArgs it names.
struct CliRunOption {
    const char *names;
    const char *type;
    std::string CliDeviceRunArgs::*value;
    bool CliDeviceRunArgs::*flag;
    const char *help;
};

// The image options: update and verify take them first, and `fwu` without
// a command (the operator's screen) takes them alone.
const CliRunOption IMAGE_OPTIONS[] = {
    {"--image", "FILE", &CliDeviceRunArgs::image, nullptr,
     "The image instead of the embedded one: raw binary (lying from\n"
     "0x08004000), Intel HEX, S-records or ELF, told by its content\n"
     "(`image FILE` shows what would be written)"},
    {"--format", "FORMAT", &CliDeviceRunArgs::format, nullptr,
     "How --image is read: auto (told by its content, the default), bin,\n"
     "hex, srec or elf"},
    {"--no-vector-check", NULL, nullptr, &CliDeviceRunArgs::no_vector_check,
     "Take an image without a Cortex-M vector table at 0x08004000"},
    {"--allow-sample", NULL, nullptr, &CliDeviceRunArgs::allow_sample,
     "Take the embedded image even when it is the bundled sample"},
    {"--flash-end", "ADDR", &CliDeviceRunArgs::flash_end, nullptr,
     "End of the device's flash (default 0x08100000); an image running\n"
     "past it is refused"},
};

// What update and verify both take after them, in the order their help
// shows it.
const CliRunOption RUN_OPTIONS[] = {
    {"--wait", "SECONDS", &CliDeviceRunArgs::wait, nullptr,
     "How long to wait for each device's first answer: seconds, or\n"
     "forever (default: forever on a terminal, where the device may be\n"
     "plugged in late; 60 s when standard input is not a terminal)"},
    {"--timeout", "SECONDS", &CliDeviceRunArgs::timeout, nullptr,
     "An overall deadline per device (default: none)"},
    {"--stall", "SECONDS", &CliDeviceRunArgs::stall, nullptr,
     "Once a device has answered, how long it may give no answer before\n"
     "it counts as stopped answering: seconds, or forever (default:\n"
     "forever on a terminal; 30 s when standard input is not a terminal)"},
    {"--resend-after", "MS", &CliDeviceRunArgs::resend_after, nullptr,
     "Resend an unanswered block (verify: a block's CRC request) after MS\n"
     "milliseconds (default: a timer that follows the device's answer times)"},
    {"--json", "FILE", &CliDeviceRunArgs::json_path, nullptr,
     "Append one JSON object per device as it ends (JSON Lines);\n"
     "- for standard output (the words then go to standard error)"},
    {"--log", "FILE", &CliDeviceRunArgs::log_path, nullptr,
     "Append every device's trace, each line with a timestamp and the\n"
     "port, one result line per device, after a header line"},
    {"-q,--quiet", NULL, nullptr, &CliDeviceRunArgs::quiet,
     "Only the image line, errors and the final summary"},
    {"-v,--verbose", NULL, nullptr, &CliDeviceRunArgs::verbose,
     "The trace of every device on standard output (standard error with --json -)"},
};

// What update alone takes, after them.
const CliRunOption UPDATE_OPTIONS[] = {
    {"--no-reset", NULL, nullptr, &CliDeviceRunArgs::no_reset,
     "Write and verify the image, and leave the device in its boot loader"},
    {"--continuous", NULL, nullptr, &CliDeviceRunArgs::continuous,
     "The production bench: every PORT is a slot that flashes device after\n"
     "device (each taken only once it answers, and the next only once the\n"
     "last is gone) until Ctrl-C or --count"},
    {"--count", "N", &CliDeviceRunArgs::count, nullptr,
     "With --continuous: end each slot after N devices"},
};

template <size_t N>
void add_run_options(CLI::App *command, const CliRunOption (&rows)[N], CliDeviceRunArgs *a)
{
    for (const CliRunOption &row : rows) {
        if (row.type != NULL)
            command->add_option(row.names, a->*row.value, row.help)->type_name(row.type);
        else
            command->add_flag(row.names, a->*row.flag, row.help);
    }
}

void add_device_run_options(CLI::App *command, CliDeviceRunArgs *a)
{
    command
        ->add_option("PORT", a->ports,
                     "Serial ports: a device path (/dev/ttyUSB0) or COM name (COM7), or\n"
                     "usb:SERIAL for the USB adapter with that serial number")
        ->required();
    add_run_options(command, IMAGE_OPTIONS, a);
    add_run_options(command, RUN_OPTIONS, a);
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

// What the commands collect as CLI11 parses, and the commands themselves.
struct CliParsed {
    bool version = false;
    bool list_json = false;
    std::string help_topic;
    CliDeviceRunArgs update_args, verify_args;
    CliImageArgs image_args;
    CLI::App *update = nullptr, *verify = nullptr, *list = nullptr, *image = nullptr;
    CLI::App *help = nullptr;
};

void add_update_and_verify(CLI::App *app, CliParsed *p)
{
    p->update = app->add_subcommand("update", "Write the image into the devices on PORT...");
    add_device_run_options(p->update, &p->update_args);
    add_run_options(p->update, UPDATE_OPTIONS, &p->update_args);
    p->update->footer(UPDATE_FOOTER +
                      docs_sentence("The JSON objects' fields, the exit statuses and the slot states"));

    p->verify = app->add_subcommand(
        "verify", "Tell whether the devices on PORT... carry the image, writing nothing");
    add_device_run_options(p->verify, &p->verify_args);
    p->verify->footer(VERIFY_FOOTER + docs_sentence("The JSON objects' fields and the exit statuses"));
}

void add_list_and_image(CLI::App *app, CliParsed *p)
{
    p->list = app->add_subcommand("list", "List the serial ports found, without opening them");
    p->list->add_flag("--json", p->list_json, "One JSON array instead of a table");

    CliImageArgs *a = &p->image_args;
    p->image = app->add_subcommand(
        "image", "Show what would be written from FILE, and whether it would be refused");
    p->image->add_option("FILE", a->file, "An image file, as update --image takes it")
        ->required();
    p->image
        ->add_option("--format", a->format,
                     "How FILE is read: auto (told by its content, the default),\n"
                     "bin, hex, srec or elf")
        ->type_name("FORMAT");
    p->image
        ->add_option("--flash-end", a->flash_end, "End of the device's flash (default 0x08100000)")
        ->type_name("ADDR");
    p->image->add_flag("--no-vector-check", a->no_vector_check,
                       "Do not ask for a Cortex-M vector table at 0x08004000");
    p->image->add_flag("--json", a->json, "One JSON object instead of words");
    p->image->add_option("--raw-out", a->raw_out,
                         "Also write the image as it lies in flash from 0x08004000\n"
                         "(gaps 0xFF, not padded), when it is accepted")
        ->type_name("FILE");
    p->image->footer("\nExit status: 0 accepted, 2 refused or bad usage (a --raw-out that is a\n"
                     "directory, a FIFO, a device, a link or FILE itself too), 1 --raw-out\n"
                     "could not be written, 5 accepted but standard output could not take\n"
                     "the verdict.\n");

    p->help = app->add_subcommand("help", "This text, or COMMAND's help (as COMMAND --help)");
    p->help->add_option("COMMAND", p->help_topic, "A command: update, verify, list, image");
}

// `help [COMMAND]`: the page --help prints. Returns 0, or -1 with the
// reason printed.
int print_help(const CLI::App &app, const CliParsed *p, const char *program)
{
    const CLI::App *page = &app;
    if (!p->help_topic.empty()) {
        page = nullptr;
        for (const CLI::App *command : app.get_subcommands([](const CLI::App *) { return true; }))
            if (command->get_name() == p->help_topic)
                page = command;
    }
    if (page == nullptr) {
        cli_usage_error(program, "", "help: no command %s (update, verify, list, image)",
                        cli_shown(p->help_topic).c_str());
        return -1;
    }
    fputs(cli_command_help(page).c_str(), stdout);
    return 0;
}

// The parsed command's values into options. Returns 0, or -1 with the
// reason printed.
int take_parsed(const CLI::App &app, const CliParsed *p, const char *program, CliOptions *options)
{
    if (p->version) {
        options->command = CLI_VERSION;
        return 0;
    }
    if (p->image->parsed()) {
        if (refuse_empty_values(p->image, program, "image") != 0)
            return -1;
        return cli_take_image_args(&p->image_args, program, options);
    }
    if (p->help->parsed())
        return print_help(app, p, program);
    if (p->list->parsed()) {
        options->command = CLI_LIST;
        options->json = p->list_json;
        return 0;
    }
    for (CLI::App *command : {p->update, p->verify}) {
        if (!command->parsed())
            continue;
        int verifying = command == p->verify;
        options->command = verifying ? CLI_VERIFY : CLI_UPDATE;
        if (refuse_empty_values(command, program, command->get_name().c_str()) != 0)
            return -1;
        return cli_take_device_run_args(verifying ? &p->verify_args : &p->update_args, program,
                                        command->get_name().c_str(), options);
    }
    fputs(app.help().c_str(), stdout);
    return 0;
}

// What no option changes.
void default_options(int argc, char **argv, const char *program, CliOptions *options)
{
    memset(options, 0, sizeof *options);
    options->program = program;
    options->argc = argc;
    options->argv = argv;
    options->flash_end = FWU_FLASH_END;
    options->wait_s = -1;
    options->timeout_s = -1;
    options->stall_s = -1;
    options->vector_check = 1;
}

// Parses argv into app. Returns 0, 1 when help was asked for (printed when
// print_help), or -1 with the reason printed.
int parse_into(CLI::App &app, int argc, char **argv, const char *program, bool print_help)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        if (print_help)
            app.exit(e);
        return 1;
    } catch (const CLI::CallForAllHelp &e) {
        if (print_help)
            app.exit(e);
        return 1;
    } catch (const CLI::ParseError &e) {
        parse_error(app, program, e);
        return -1;
    } catch (...) {
        cli_usage_error(program, "", "the command line could not be read");
        return -1;
    }
    return 0;
}

}  // namespace

int cli_parse_image_options(int argc, char **argv, const char *program, CliOptions *options)
{
    default_options(argc, argv, program, options);
    CLI::App app{"", ""};
    app.allow_extras();
    CliDeviceRunArgs args;
    add_run_options(&app, IMAGE_OPTIONS, &args);
    int parsed = parse_into(app, argc, argv, program, false);
    if (parsed != 0)
        return parsed;
    std::vector<std::string> extra = app.remaining();
    if (!extra.empty()) {
        fprintf(stderr, "%s: unknown command or option: %s (%s --help lists them)\n", program,
                cli_shown(extra[0]).c_str(), program);
        return -1;
    }
    if (refuse_empty_values(&app, program, "") != 0)
        return -1;
    return cli_take_image_choice_args(&args, program, "", options);
}

std::vector<CliHelpRow> cli_image_option_rows(void)
{
    std::vector<CliHelpRow> rows;
    for (const CliRunOption &row : IMAGE_OPTIONS) {
        std::string left = row.names;
        if (row.type != NULL)
            left += std::string(" ") + row.type;
        rows.push_back({left, row.help});
    }
    return rows;
}

int cli_parse_options(int argc, char **argv, const char *program, CliOptions *options)
{
    default_options(argc, argv, program, options);

    CLI::App app{"Device Firmware Update Tool: writes a firmware image into devices' boot\n"
                 "loaders over serial lines (115200 8E1), verifies it by CRC and resets them.",
                 program};
    cli_use_help_layout(&app);  // before the commands, which take it from app
    CliParsed parsed;
    app.add_flag("-V,--version", parsed.version,
                 "The version, and the embedded image's size and CRC");
    app.require_subcommand(0, 1);
    add_update_and_verify(&app, &parsed);
    add_list_and_image(&app, &parsed);
    app.footer("\nRun `" + std::string(program) + " COMMAND --help` (or `" + program +
               " help COMMAND`) for a command's options.");

    int status = parse_into(app, argc, argv, program, true);
    if (status != 0)
        return status > 0 ? 0 : -1;
    return take_parsed(app, &parsed, program, options);
}
