// fwu-bench-tool: the timed side of the speed benchmark (bench/bench.py).
// One update, as the tool does it: the image padded into the link (or the
// embedded one loaded), then "Update Device" and the ticks through the
// front ends' session code, over the POSIX serial link. The engine's trace goes
// to standard output; the measurements go to --out as one JSON line:
//
//   {"state":7,"steps":N,"elapsed_ms":...,"cpu_ms":...,"link_ms":...,
//    "blocks_ms":...,"tail_ms":...,"block_median_ms":...,"block_max_ms":...,
//    "reads_per_block":...}
//
// elapsed_ms runs from the press to the end of the last tick; cpu_ms is this
// process's user + system time over that span; link_ms the press to the
// first block written, blocks_ms from there to the last ack, tail_ms verify
// and reset. -1 stands for a phase never reached. Exit status 0 when the
// line was written, 2 on bad arguments or image, 3 when the port did not
// open (the session's fatal error).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image.h"
#include "testkit.h"

using namespace testkit;

namespace {

enum {
    APP_FLASH_BYTES = 1008 * 1024,  // the device's flash from 0x08004000 up
    MAX_LIMIT_MS = 86400000
};

const char USAGE[] =
    "usage: fwu-bench-tool --port PATH (--image FILE | --embedded) --limit-ms N --out FILE\n";

struct Args {
    const char *port = NULL;
    const char *image = NULL;
    bool embedded = false;
    long limit_ms = -1;
    const char *out = NULL;
};

int parse_args(int argc, char **argv, Args *a)
{
    for (int i = 1; i < argc; i++) {
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(argv[i], "--embedded") == 0) {
            a->embedded = true;
            continue;
        }
        if (v == NULL)
            return -1;
        if (strcmp(argv[i], "--port") == 0) {
            a->port = v;
        } else if (strcmp(argv[i], "--image") == 0) {
            a->image = v;
        } else if (strcmp(argv[i], "--out") == 0) {
            a->out = v;
        } else if (strcmp(argv[i], "--limit-ms") == 0) {
            char *end = NULL;
            a->limit_ms = strtol(v, &end, 10);
            if (*v == '\0' || *end != '\0' || a->limit_ms < 1 || a->limit_ms > MAX_LIMIT_MS)
                return -1;
        } else {
            return -1;
        }
        i++;
    }
    bool one_image = (a->image != NULL) != a->embedded;
    return a->port && a->out && a->limit_ms > 0 && one_image ? 0 : -1;
}

// The image as the tool holds it. Returns 0, or -1 when it cannot be had or
// does not fit the device.
int load(const Args &a, DeviceLink *link)
{
    if (a.embedded) {
        char why[160];
        return load_image(link, why, sizeof why);
    }
    Bytes raw = read_file(a.image);
    if (raw.empty() || raw.size() > (size_t)APP_FLASH_BYTES)
        return -1;
    return pad_image(link, raw.data(), (int64_t)raw.size());
}

double cpu_ms(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

// The run's phases and blocks as the JSON line.
void write_measurements(FILE *out, const UpdateRun &run, double cpu)
{
    double first_block = run.reached_ms[AwaitBlockAck];
    double verify = run.reached_ms[AwaitVerify];
    // Each block's time: from the tick that wrote it to the tick that took
    // its ack (and wrote the next).
    std::vector<double> blocks;
    double from = first_block;
    for (double t : run.acks_ms) {
        blocks.push_back(t - from);
        from = t;
    }
    std::sort(blocks.begin(), blocks.end());
    double reads = -1;
    if (!blocks.empty() && verify >= 0)
        reads = (double)(run.reached_step[AwaitVerify] - run.reached_step[AwaitBlockAck]) /
                (double)blocks.size();
    fprintf(out,
            "{\"state\":%u,\"steps\":%u,\"elapsed_ms\":%.3f,\"cpu_ms\":%.3f,\"link_ms\":%.3f,"
            "\"blocks_ms\":%.3f,\"tail_ms\":%.3f,\"block_median_ms\":%.3f,"
            "\"block_max_ms\":%.3f,\"reads_per_block\":%.3f}\n",
            run.final_state, run.steps, run.elapsed_ms, cpu, first_block,
            verify >= 0 && first_block >= 0 ? verify - first_block : -1.0,
            verify >= 0 ? run.elapsed_ms - verify : -1.0,
            blocks.empty() ? -1.0 : blocks[blocks.size() / 2],
            blocks.empty() ? -1.0 : blocks.back(), reads);
}

} // namespace

int main(int argc, char **argv)
{
    Args a;
    if (parse_args(argc, argv, &a) != 0) {
        fputs(USAGE, stderr);
        return 2;
    }
    DeviceLink link = {};
    init_link(&link);
    if (load(a, &link) != 0) {
        fprintf(stderr, "fwu-bench-tool: no usable image\n");
        return 2;
    }
    FILE *out = fopen(a.out, "w");
    if (out == NULL) {
        fprintf(stderr, "fwu-bench-tool: cannot write %s\n", a.out);
        return 2;
    }

    UpdateRun run;
    double before = cpu_ms();
    run_update(&link, a.port, (uint32_t)a.limit_ms, &run);
    double cpu = cpu_ms() - before;
    // After Failed or the limit the port is still held; let it go as
    // quitting would.
    release_update(&link);
    fflush(stdout);
    write_measurements(out, run, cpu);
    return fclose(out) == 0 ? 0 : 2;
}
