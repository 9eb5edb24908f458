// Process entry of fwu-cli.exe, the command line of the Windows tool: a
// console program beside the dialog's fwu.exe, with the same engine and the
// same embedded image.
#include "cli/cli.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        char help[] = "--help";
        char *with_help[] = {argv[0], help, NULL};
        return cli_main(2, with_help, "fwu-cli");
    }
    return cli_main(argc, argv, "fwu-cli");
}
