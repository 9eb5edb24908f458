// Before `update PORT...` opens any port: the image to write, read and
// checked (image/image_choice.h), the ports the arguments name, and the
// record files, opened as cli_output.h allows.
#include "cli/cli_run.h"

#include "cli/cli_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "serial/port_info.h"

// ---------------------------------------------------------------------------
// Before any port is opened

// The image to write, padded, in run; standard output may not be the image
// file. Returns 0, or -1 with the reason printed.
int cli_prepare_image(CliRun *run)
{
    if (cli_check_output(run->program, NULL, "-", CLI_OUTPUT_RECORD, run->options->image_path) != 0)
        return -1;
    ImageChoice choice;
    cli_image_choice(run->options, &choice);
    char why[IMAGE_CHOICE_WHY_CAPACITY];
    if (load_chosen_image(&choice, &run->image, why, sizeof why) != 0) {
        fprintf(stderr, "%s: %s\n", run->program, why);
        return -1;
    }
    return 0;
}

// What each PORT names. Returns 0, or -1 with the reason printed (a name
// that cannot be a port). An adapter asked for by serial number that is not
// there is the device's own failure, found when it would be opened.
int cli_prepare_devices(CliRun *run)
{
    const CliOptions *o = run->options;
    run->device_count = o->port_count;
    PortInfo *present = NULL;  // the ports found, looked for once, at the first usb:
    int present_count = 0;
    for (int i = 0; i < o->port_count; ++i) {
        CliDevice *d = &run->devices[i];
        memset(d, 0, sizeof *d);
        d->run = run;
        snprintf(d->given, sizeof d->given, "%s", o->ports[i]);
        if (strncmp(d->given, "usb:", 4) == 0) {
            char serial[PORT_NAME_CAPACITY];
            snprintf(serial, sizeof serial, "%s", o->ports[i] + 4);
            if (present == NULL) {
                present = (PortInfo *)calloc(PORT_TABLE_CAPACITY, sizeof *present);
                present_count = present != NULL ? list_ports(present, PORT_TABLE_CAPACITY) : 0;
            }
            SerialMatch found =
                match_port_serial(present, present_count, serial, d->path, sizeof d->path);
            if (found == SERIAL_NONE)
                snprintf(d->why, sizeof d->why,
                         "no USB adapter with serial number %s is plugged in", serial);
            else if (found == SERIAL_SEVERAL)
                snprintf(d->why, sizeof d->why,
                         "several USB adapters have serial number %s; name the port instead",
                         serial);
        } else if (port_open_name(d->given, d->path, sizeof d->path) != 0) {
            fprintf(stderr, "%s: not a serial port name: %.*s (see `%s %s --help`)\n",
                    run->program, CLI_ECHO_MAX, d->given, run->program,
                    run->options->command == CLI_VERIFY ? "verify" : "update");
            free(present);
            return -1;
        }
        d->result = CLI_RESULT_RUNNING;
    }
    free(present);
    // Two names for one port (COM7 and \\.\COM7) would fight over it.
    for (int i = 0; i < run->device_count; ++i)
        for (int j = 0; j < i; ++j)
            if (same_port(run->devices[i].path, run->devices[j].path)) {
                fprintf(stderr, "%s: %.*s and %.*s are the same port: name it once\n",
                        run->program, CLI_ECHO_MAX, run->devices[j].given, CLI_ECHO_MAX,
                        run->devices[i].given);
                return -1;
            }
    return 0;
}

FILE *cli_open_append(const CliRun *run, const char *path, const char *what)
{
    return cli_open_record(run->program, what, path, run->options->image_path);
}
