// The image a command-line run writes, as its options choose it (the image
// layer's image/image_choice.h reads, checks and lays it out), and `image
// FILE`, which shows what would be written.
#ifndef FWU_CLI_CLI_IMAGE_H
#define FWU_CLI_CLI_IMAGE_H

#include "cli/cli.h"
#include "image/image_choice.h"

// The image options of o (--image, --format, --no-vector-check,
// --allow-sample, --flash-end) as the image layer takes them; choice->path
// points into o.
void cli_image_choice(const CliOptions *o, ImageChoice *choice);

// `image FILE`: what would be written, and the verdict. Returns the exit status.
int cli_run_image(const CliOptions *o);

#endif
