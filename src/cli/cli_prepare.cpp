// Before `update PORT...` opens any port: the image to write, read and
// checked against the flash window, and the ports the arguments name.
#include "cli/cli_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image.h"
#include "serial/port_info.h"

// ---------------------------------------------------------------------------
// Before any port is opened

// Reads the image file given with --image into a new buffer. Returns its
// length, or -1 with the reason printed.
static int64_t read_image_file(const CliRun *run, const char *path, uint32_t window,
                               unsigned char **bytes)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        fprintf(stderr, "%s: --image %s: cannot be read\n", run->program, path);
        return -1;
    }
    // One byte more than fits tells a file that is too large.
    unsigned char *buffer = (unsigned char *)malloc((size_t)window + 1);
    size_t n = buffer != NULL ? fread(buffer, 1, (size_t)window + 1, f) : 0;
    int failed = buffer == NULL || ferror(f);
    fclose(f);
    if (failed) {
        fprintf(stderr, "%s: --image %s: cannot be read\n", run->program, path);
        free(buffer);
        return -1;
    }
    if (n == 0) {
        fprintf(stderr, "%s: --image %s: the file is empty\n", run->program, path);
        free(buffer);
        return -1;
    }
    *bytes = buffer;
    return (int64_t)n;
}

// The image to write, padded, in run. Returns 0, or -1 with the reason printed.
int cli_prepare_image(CliRun *run)
{
    const CliOptions *o = run->options;
    uint32_t window = o->flash_end - (uint32_t)IMAGE_BASE;
    const unsigned char *bytes = NULL;
    unsigned char *file_bytes = NULL;
    int64_t len;
    if (o->image_path[0] != '\0') {
        len = read_image_file(run, o->image_path, window, &file_bytes);
        if (len < 0)
            return -1;
        bytes = file_bytes;
    } else {
        const char *why = "";
        if (find_embedded_image(&bytes, &len, &why) != 0) {
            fprintf(stderr, "%s: %s\n", run->program, why);
            return -1;
        }
    }
    int32_t padded = padded_image_size(len);
    if (padded < 0 || (uint32_t)padded > window) {
        fprintf(stderr,
                "%s: the image (%lld bytes, %ld padded to whole blocks) runs past the end of "
                "the flash: 0x%08x + %ld > --flash-end 0x%08x\n",
                run->program, (long long)len, (long)padded, (unsigned)IMAGE_BASE, (long)padded,
                (unsigned)o->flash_end);
        free(file_bytes);
        return -1;
    }
    unsigned char *copy = NULL;
    run->padded_size = pad_bytes(bytes, len, &copy);
    free(file_bytes);
    if (run->padded_size < 0) {
        fprintf(stderr, "%s: not enough memory for the image\n", run->program);
        return -1;
    }
    run->image = copy;
    run->image_size = len;
    run->image_crc = crc16(run->image, run->padded_size);
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
            fprintf(stderr, "%s: not a serial port name: %s\n", run->program, d->given);
            free(present);
            return -1;
        }
        d->result = RESULT_RUNNING;
    }
    free(present);
    // Two names for one port (COM7 and \\.\COM7) would fight over it.
    for (int i = 0; i < run->device_count; ++i)
        for (int j = 0; j < i; ++j)
            if (run->devices[i].path[0] != '\0' &&
                strcmp(run->devices[i].path, run->devices[j].path) == 0) {
                fprintf(stderr, "%s: %s and %s are the same port\n", run->program,
                        run->devices[j].given,
                        run->devices[i].given);
                return -1;
            }
    return 0;
}

FILE *cli_open_append(const CliRun *run, const char *path, const char *what)
{
    char why[160];
    FILE *f = cli_open_record_file(path, why, sizeof why);
    if (f == NULL)
        fprintf(stderr, "%s: %s %.*s: cannot be opened for appending: %s\n", run->program, what,
                CLI_ECHO_MAX, path, why);
    return f;
}
