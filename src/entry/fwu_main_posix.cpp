// Process entry of the Linux `fwu`: without arguments the operator's screen
// (src/screen/), with a command the command line (src/cli/). The one place
// that knows both.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cli/cli.h"
#include "screen/screen.h"

static const char USAGE[] =
    "usage: fwu                        the operator's screen (below)\n"
    "       fwu update [OPTIONS] PORT...   write the image into devices from a script\n"
    "       fwu verify [OPTIONS] PORT...   tell whether devices carry the image, writing nothing\n"
    "       fwu list [--json]          the serial ports found\n"
    "       fwu image [--json] FILE    what an image file would write, or why it is refused\n"
    "       fwu --version | --help\n"
    "\n"
    "Device Firmware Update Tool: writes the firmware image built into this\n"
    "program into a device's boot loader over a serial line (115200 8E1).\n"
    "Run without arguments in a terminal; the screen lists the serial ports found\n"
    "and shows the instructions and the status. Keys:\n"
    "\n"
    "  Up/Down, 1-9   choose a port\n"
    "  p or /         type a device path (Enter accepts, Esc cancels,\n"
    "                 Backspace deletes); it becomes the chosen row\n"
    "  Enter or u     Update Device\n"
    "  r              look for ports again (the chosen one stays chosen)\n"
    "  q              quit\n"
    "\n"
    "A trace of the exchange goes to standard output: fwu > trace.log\n"
    "`fwu update --help` tells the command line's options and exit statuses.\n";

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
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0) {
        fputs(USAGE, stdout);
        return argc == 2 ? 0 : 2;
    }
    static const char *const COMMANDS[] = {"update", "verify", "list", "image", "--version", "-V"};
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
