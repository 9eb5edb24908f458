// The command line as a whole: the options, then the command they name.
#include "cli/cli.h"
#include "cli/cli_image.h"

#include <stdio.h>
#include <stdlib.h>

#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "fwu_version.h"
#include "image/image.h"
#include "protocol/engine.h"

void cli_print_version(const char *program)
{
    printf("%s %s (%s)\n", program, FWU_VERSION, cli_platform_name());
    const unsigned char *bytes = NULL;
    int64_t len = 0;
    char why[160];
    if (find_embedded_image(&bytes, &len, why, sizeof why) != 0) {
        printf("embedded image: none (%s)\n", why);
        return;
    }
    unsigned char *copy = NULL;
    int32_t padded = pad_bytes(bytes, len, &copy);
    if (padded < 0) {
        printf("embedded image: %lld bytes\n", (long long)len);
        return;
    }
    printf("embedded image: %lld bytes, padded to %ld (%ld blocks of %d), CRC-16 %#06x, "
           "written from %#010x\n",
           (long long)len, (long)padded, (long)(padded / BLOCK_SIZE), (int)BLOCK_SIZE,
           (unsigned)crc16(copy, padded), (unsigned)IMAGE_BASE);
    if (image_embeds_sample())
        printf("embedded image: the bundled sample, not device firmware (update refuses it "
               "without --allow-sample)\n");
    printf("flash end (build default): %#010x\n", (unsigned)FWU_FLASH_END);
    // The padded copy was needed for its CRC only.
    free(copy);
}

int cli_main(int argc, char **argv, const char *program)
{
    CliOptions options;
    if (cli_parse_options(argc, argv, program, &options) != 0)
        return CLI_EXIT_USAGE;
    // The verdicts of list, --version and image, and the help, are standard
    // output's alone: one that could not be written is said in the status.
    switch (options.command) {
    case CLI_LIST:
        return cli_close_stdout(program, cli_run_list(&options));
    case CLI_UPDATE:
    case CLI_VERIFY:
        return cli_run_update(&options);
    case CLI_VERSION:
        cli_print_version(program);
        return cli_close_stdout(program, CLI_EXIT_ALL_VERIFIED);
    case CLI_IMAGE:
        return cli_close_stdout(program, cli_run_image(&options));
    case CLI_RUN_NOTHING:
        return cli_close_stdout(program, CLI_EXIT_ALL_VERIFIED);
    }
    return CLI_EXIT_ALL_VERIFIED;
}
