// Process entry of the Linux `fwu`: without arguments the operator's screen
// (src/screen/), with a command the command line (src/cli/). The one place
// that knows both.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_help.h"
#include "cli/cli_image.h"
#include "cli/cli_output.h"
#include "screen/screen.h"

struct UsageRow {
    const char *left;
    const char *right;
};

static const UsageRow SYNOPSIS[] = {
    {"fwu [IMAGE OPTIONS]", "the operator's screen (below)"},
    {"fwu update [OPTIONS] PORT...", "write the image into devices from a script"},
    {"fwu verify [OPTIONS] PORT...", "tell whether devices carry the image, writing nothing"},
    {"fwu list [--json]", "the serial ports found"},
    {"fwu image [--json] FILE", "what an image file would write, or why it is refused"},
    {"fwu help [COMMAND]", "this text, or a command's options (as fwu COMMAND --help)"},
    {"fwu --version | --help", ""},
};

static const char ABOUT[] =
    "Device Firmware Update Tool: writes a firmware image, the one built into this program or "
    "--image FILE, into a device's boot loader over a serial line (115200 8E1). Run without "
    "a command in a terminal; the screen lists the serial ports found and shows the "
    "instructions, the image and the status. Its image options, as update takes them:";

static const char KEYS_HEAD[] = "Keys:";

static const UsageRow KEYS[] = {
    {"Up/Down, 1-9", "choose a port"},
    {"p or /", "type a device path (Enter accepts, Esc cancels, Backspace deletes); it "
               "becomes the chosen row"},
    {"Enter or u", "Update Device"},
    {"r", "look for ports again (the chosen one stays chosen)"},
    {"q", "quit; during an update it asks first, and a second q abandons the update "
          "(exit status 1)"},
    {"Ctrl-C", "as q, the process ending by the signal (status 130)"},
};

static const char NOTES[] =
    "A build that carries the bundled sample image writes it only with --allow-sample; "
    "without, the screen says so and writes nothing. A refused image ends fwu with status 2 "
    "before the screen opens.\n"
    "\n"
    "Ports that cannot be the adapter (the system's console, this terminal) are marked "
    "refused on the list and never chosen for you.\n"
    "\n"
    "A trace of the exchange goes to standard output: fwu > trace.log\n"
    "\n"
    "`fwu COMMAND --help` (or `fwu help COMMAND`) tells the command line's options and exit "
    "statuses.";

static std::string table(const std::vector<CliHelpRow> &cells, int width)
{
    return cli_help_table(cells, cli_help_column(cells, width), width);
}

template <size_t N>
static std::string table(const UsageRow (&rows)[N], int width)
{
    std::vector<CliHelpRow> cells;
    for (const UsageRow &row : rows)
        cells.push_back({row.left, row.right});
    return table(cells, width);
}

// `fwu --help` and `fwu help`: the commands, the screen's keys, where to
// read more; in the command line's help layout.
static void print_usage(void)
{
    int width = cli_help_width();
    std::string text = "Usage:\n" + table(SYNOPSIS, width) + "\n" +
                       cli_help_paragraphs(ABOUT, width) + "\n" +
                       table(cli_image_option_rows(), width) + "\n" +
                       cli_help_paragraphs(KEYS_HEAD, width) + "\n" + table(KEYS, width) +
                       "\n" + cli_help_paragraphs(NOTES, width);
    std::string docs = "The screen is written down in docs/operator.md, the command line in "
                       "docs/cli.md";
    if (cli_doc_dir()[0] != '\0')
        docs += std::string(" (installed in ") + cli_doc_dir() + "; man fwu)";
    text += "\n" + cli_help_paragraphs(docs + ".", width);
    fputs(text.c_str(), stdout);
}

// Standard input, output and error closed by whoever started us (fwu >&-)
// become /dev/null, so that no descriptor opened later (a port, the
// terminal) takes their number and receives what is meant for them.
static void open_standard_descriptors(void)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);  // the lowest free number: fd
        if (null_fd > fd)
            close(null_fd);
    }
}

// A command or help first on the command line: the command line's.
// Returns the exit status, or -1 when the first argument is neither.
static int run_command(int argc, char **argv)
{
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 ||
        (strcmp(first, "help") == 0 && argc == 2)) {
        print_usage();
        return argc == 2 ? cli_close_stdout("fwu", 0) : 2;
    }
    // `help COMMAND` is the command line's: the command's own --help.
    static const char *const COMMANDS[] = {"update", "verify", "list", "image", "help",
                                           "--version", "-V"};
    for (const char *command : COMMANDS)
        if (strcmp(first, command) == 0)
            return cli_main(argc, argv, "fwu");
    return -1;
}

// The screen, with the image its options choose (parsed and refused as the
// command line's update does). Returns the exit status.
static int run_screen(int argc, char **argv)
{
    static CliOptions options;  // the choice's path points into it
    int parsed = cli_parse_image_options(argc, argv, "fwu", &options);
    if (parsed > 0) {
        print_usage();
        return cli_close_stdout("fwu", 0);
    }
    if (parsed != 0)
        return 2;
    ImageChoice choice;
    cli_image_choice(&options, &choice);
    return screen_main(&choice);
}

int main(int argc, char **argv)
{
    open_standard_descriptors();
    if (argc > 1) {
        int status = run_command(argc, argv);
        if (status >= 0)
            return status;
    }
    return run_screen(argc, argv);
}
