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
#include "screen/screen.h"

struct UsageRow {
    const char *left;
    const char *right;
};

static const UsageRow SYNOPSIS[] = {
    {"fwu", "the operator's screen (below)"},
    {"fwu update [OPTIONS] PORT...", "write the image into devices from a script"},
    {"fwu verify [OPTIONS] PORT...", "tell whether devices carry the image, writing nothing"},
    {"fwu list [--json]", "the serial ports found"},
    {"fwu image [--json] FILE", "what an image file would write, or why it is refused"},
    {"fwu help [COMMAND]", "this text, or a command's options (as fwu COMMAND --help)"},
    {"fwu --version | --help", ""},
};

static const char ABOUT[] =
    "Device Firmware Update Tool: writes the firmware image built into this program into a "
    "device's boot loader over a serial line (115200 8E1). Run without arguments in a "
    "terminal; the screen lists the serial ports found and shows the instructions and the "
    "status. Keys:";

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
    "Ports that cannot be the adapter (the system's console, this terminal) are marked "
    "refused on the list and never chosen for you.\n"
    "\n"
    "A trace of the exchange goes to standard output: fwu > trace.log\n"
    "\n"
    "`fwu COMMAND --help` (or `fwu help COMMAND`) tells the command line's options and exit "
    "statuses.";

template <size_t N>
static std::string table(const UsageRow (&rows)[N], int width)
{
    std::vector<CliHelpRow> cells;
    for (const UsageRow &row : rows)
        cells.push_back({row.left, row.right});
    return cli_help_table(cells, cli_help_column(cells, width), width);
}

// `fwu --help` and `fwu help`: the commands, the screen's keys, where to
// read more; in the command line's help layout.
static void print_usage(void)
{
    int width = cli_help_width();
    std::string text = "Usage:\n" + table(SYNOPSIS, width) + "\n" +
                       cli_help_paragraphs(ABOUT, width) + "\n" + table(KEYS, width) + "\n" +
                       cli_help_paragraphs(NOTES, width);
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

// Anything on the command line: the command line's commands, or help.
// Returns the exit status.
static int run_arguments(int argc, char **argv)
{
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 ||
        (strcmp(first, "help") == 0 && argc == 2)) {
        print_usage();
        return argc == 2 ? 0 : 2;
    }
    // `help COMMAND` is the command line's: the command's own --help.
    static const char *const COMMANDS[] = {"update", "verify", "list", "image", "help",
                                           "--version", "-V"};
    for (const char *command : COMMANDS)
        if (strcmp(first, command) == 0)
            return cli_main(argc, argv, "fwu");
    fprintf(stderr, "fwu: unknown command or option: %s (fwu --help lists them)\n", first);
    return 2;
}

int main(int argc, char **argv)
{
    open_standard_descriptors();
    if (argc > 1)
        return run_arguments(argc, argv);
    return screen_main();
}
