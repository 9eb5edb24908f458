// The image the screen writes, as its options chose it (image_choice.h):
// read and checked before the terminal is taken, so that a refusal ends the
// tool with the command line's words before the screen opens; handed to
// the engine once the link exists; named on the screen. The bundled sample,
// not asked for with --allow-sample, is no refusal that ends the tool (the
// operator may still look at the ports): the screen opens, says so, and
// Enter sends nothing.
#include "screen/screen_posix.h"

#include <stdio.h>
#include <string.h>

#include "image/image.h"
#include "protocol/report.h"

// What the options chose: read and laid out (an image), or nothing to
// write, with the reason.
static ChosenImage chosen;
static int have_image;
static int from_file;  // --image FILE, not the embedded image
static char refusal[IMAGE_CHOICE_WHY_CAPACITY];

static const char SAMPLE_STATUS[] = "Bundled sample not written: use fwu --image FILE";
static const char SAMPLE_ROW[] = "Image: none (the bundled sample needs --allow-sample)";

int screen_read_image(const ImageChoice *choice, char *why, size_t why_size)
{
    from_file = choice->path != NULL && choice->path[0] != '\0';
    if (load_chosen_image(choice, &chosen, refusal, sizeof refusal) == 0) {
        have_image = 1;
        return 0;
    }
    if (image_choice_refuses_sample(choice))
        return 0;
    snprintf(why, why_size, "%s", refusal);
    return -1;
}

void screen_give_image(DeviceLink *link)
{
    if (!have_image) {
        trace(" . No image to write: %s\n", refusal);
        set_status("%s", SAMPLE_STATUS);
        return;
    }
    put_chosen_image(link, &chosen);
    trace_image_layout(link);
    // An image from a file is named in the trace too; the embedded one's
    // trace stays the Windows tool's.
    if (from_file) {
        char line[TRACE_CAPACITY];
        chosen_image_line(&chosen, line, sizeof line);
        trace(" . %s\n", line);
    }
}

int screen_has_image(void)
{
    if (have_image)
        return 1;
    trace(" . Update Device: nothing sent: no image to write (the bundled sample is written "
          "only with --allow-sample; fwu --image FILE names the application)\n");
    set_status("%s", SAMPLE_STATUS);
    return 0;
}

void screen_image_text(char *text, size_t size, int width)
{
    if (!have_image) {
        snprintf(text, size, "%s", SAMPLE_ROW);
        return;
    }
    char tail[128];
    snprintf(tail, sizeof tail, ": %s, %lld bytes, CRC-16 %#06x",
             image_file_format_title(chosen.file.format), (long long)chosen.file.size,
             (unsigned)chosen.crc);
    // A long file name gives way from the left: its end names the file.
    const char *name = chosen.name;
    int room = width - (int)strlen("Image ") - (int)strlen(tail);
    int len = (int)strlen(name);
    const char *cut = "";
    if (len > room && room > 3) {
        name += len - (room - 3);
        cut = "...";
    }
    snprintf(text, size, "Image %s%s%s", cut, name, tail);
}
