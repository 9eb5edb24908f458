// fwu-bench: how close a whole update comes to the speed of the wire, and
// what it costs the machine. The native engine and the POSIX serial link
// update fwu-devsim over its pseudo-terminal, the line paced at 115200 8E1
// (11 bits a byte), for a few image sizes, with a device that programs at
// once and one that takes a while per block.
//
// Each update runs in a child process of its own (this program again, in
// --tool mode, so its memory is its own and not a copy of ours): it presses
// "Update Device", steps the engine as the shell does and reports its
// timings, its CPU time during the update and its peak resident memory.
// The simulator's byte counts (bytes on the line each way) give the wire
// time that no tool could beat, and its request log (-v) the device's view
// of the update: first probe heard to last reset heard. With --wine the
// same update runs once more through fwu.exe under Wine (bench/wine_run.py),
// compared with the native tool by that device view.
//
// This is a measurement, not a test: nothing here passes or fails on time.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "devsim_process.h"
#include "image/embedded_image.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "serial/serial.h"
#include "update_run.h"

namespace {

enum {
    LINE_BITS_PER_BYTE = 11,         // start, 8 data, parity, stop
    APP_FLASH_BYTES = 1008 * 1024,   // the device's flash from 0x08004000 up
    BLOCK_FRAME_BYTES = BLOCK_SIZE + 11,
    BLOCK_ACK_BYTES = 11,            // what fwu-devsim answers a block with
    MAX_ROWS = 64,
    MAX_FLASH_MS = 10000,
    RESULT_CAPACITY = 512
};

const char USAGE[] =
    "usage: fwu-bench [--sizes LIST] [--flash-ms LIST] [--image FILE]... [--embedded]\n"
    "                 [--wine [--win64-dir DIR]] [--limit-s N]\n"
    "\n"
    "Updates fwu-devsim (paced at 115200 8E1) through the native engine and the\n"
    "POSIX serial link over a pseudo-terminal, one child process per update, and\n"
    "prints a Markdown table: update time from the press to Done, the wire-time\n"
    "limit (every byte both ways x 11 bits / 115200), their ratio, the tool's CPU\n"
    "share and peak RSS, the simulator's CPU share; then where the time went.\n"
    "\n"
    "  --sizes LIST     image sizes in bytes, K for KiB (default 1K,100K,1008K;\n"
    "                   1008K is the most the device's flash takes)\n"
    "  --flash-ms LIST  the device's programming time per block (default 0,25)\n"
    "  --image FILE     also update with this raw image (padded like the tool's)\n"
    "  --embedded       also update with the image this build embeds, as fwu.exe\n"
    "                   does (FWU_FIRMWARE_IMAGE, by default res/firmware.bin)\n"
    "  --limit-s N      give up on one update after N seconds (default 600)\n"
    "  --wine           also update with fwu.exe under Wine (the win64 build) and\n"
    "                   print its ratio beside the native tool's, both with the\n"
    "                   embedded image and an instant device\n"
    "  --win64-dir DIR  where fwu.exe and fwu_probe.exe are (default: the win64\n"
    "                   preset's build directory)\n";

struct Options {
    std::vector<long> sizes;
    std::vector<long> flash_ms;
    std::vector<std::string> sources;  // extra rows: file:PATH, embedded
    long limit_s;
    int wine;                        // also time fwu.exe under Wine
    std::string win64_dir;           // where the win64 preset built it
};

// One update through fwu.exe under Wine, as bench/wine_run.py reports it.
struct WineResult {
    bool ok;
    std::string problem;
    double span_ms, click_ms;
    long long rx_bytes, tx_bytes, blocks;
};

// What the tool child reports about its update.
struct ToolReport {
    unsigned state;
    double elapsed_ms;
    double cpu_ms;
    double link_ms;      // press to the first block written
    double blocks_ms;    // first block written to the last ack read
    double tail_ms;      // verify and reset
    long peak_rss_kib;   // VmHWM of the tool process
    double block_median_ms, block_max_ms;
    double reads_per_block;  // steps from the first block to the verify / blocks
};

struct Row {
    std::string source;   // for raw_image
    std::string image;  // its label
    long raw_size;
    long padded_size;
    long flash_ms;
    bool ok;
    std::string problem;
    ToolReport tool;
    long long rx_bytes, tx_bytes;
    long long blocks_programmed, block_resends;
    long long sim_elapsed_ms;
    double sim_cpu_ms;
    double device_span_ms;  // first probe heard to last reset heard; -1 unknown
};

double tv_ms(const struct timeval &tv)
{
    return (double)tv.tv_sec * 1000.0 + (double)tv.tv_usec / 1000.0;
}

double cpu_ms(const struct rusage &ru)
{
    return tv_ms(ru.ru_utime) + tv_ms(ru.ru_stime);
}

// A decimal count, optionally followed by K (KiB), within [0, max].
int parse_count(const char *text, long max, long *out)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return -1;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || v < 0)
        return -1;
    if (*end == 'K' || *end == 'k') {
        if (v > LONG_MAX / 1024)
            return -1;
        v *= 1024;
        end++;
    }
    if (*end != '\0' || v > max)
        return -1;
    *out = v;
    return 0;
}

int parse_list(const char *text, long max, std::vector<long> *out)
{
    out->clear();
    std::string all = text ? text : "";
    size_t from = 0;
    while (from <= all.size() && out->size() < MAX_ROWS) {
        size_t comma = all.find(',', from);
        std::string item = all.substr(from, comma == std::string::npos ? std::string::npos
                                                                        : comma - from);
        long v;
        if (parse_count(item.c_str(), max, &v) != 0)
            return -1;
        out->push_back(v);
        if (comma == std::string::npos)
            return 0;
        from = comma + 1;
    }
    return -1;
}

int parse_options(int argc, char **argv, Options *o)
{
    o->sizes = {1024, 100 * 1024, APP_FLASH_BYTES};
    o->flash_ms = {0, 25};
    o->limit_s = 600;
    o->wine = 0;
    o->win64_dir = FWU_WIN64_DIR;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(a, "--sizes") == 0 && v) {
            if (parse_list(v, APP_FLASH_BYTES, &o->sizes) != 0 || o->sizes.empty()) {
                fprintf(stderr, "fwu-bench: bad --sizes (1 to %d bytes each)\n", APP_FLASH_BYTES);
                return -1;
            }
            for (long s : o->sizes)
                if (s < 1) {
                    fprintf(stderr, "fwu-bench: an image has at least one byte\n");
                    return -1;
                }
            i++;
        } else if (strcmp(a, "--flash-ms") == 0 && v) {
            if (parse_list(v, MAX_FLASH_MS, &o->flash_ms) != 0 || o->flash_ms.empty()) {
                fprintf(stderr, "fwu-bench: bad --flash-ms (0 to %d each)\n", MAX_FLASH_MS);
                return -1;
            }
            i++;
        } else if (strcmp(a, "--image") == 0 && v) {
            o->sources.push_back(std::string("file:") + v);
            i++;
        } else if (strcmp(a, "--embedded") == 0) {
            o->sources.push_back("embedded");
        } else if (strcmp(a, "--wine") == 0) {
            o->wine = 1;
        } else if (strcmp(a, "--win64-dir") == 0 && v) {
            o->win64_dir = v;
            i++;
        } else if (strcmp(a, "--limit-s") == 0 && v) {
            if (parse_count(v, 86400, &o->limit_s) != 0 || o->limit_s < 1) {
                fprintf(stderr, "fwu-bench: bad --limit-s\n");
                return -1;
            }
            i++;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            fputs(USAGE, stdout);
            return 1;
        } else {
            fprintf(stderr, "fwu-bench: unknown or incomplete option %s\n%s", a, USAGE);
            return -1;
        }
    }
    return 0;
}

// The raw image of a row, by its source: size:N (N bytes of the test pattern),
// file:PATH, or embedded (the image this build carries, as fwu.exe does).
// Returns 0, or -1 when there is no such image or it does not fit the device.
int raw_image(const std::string &source, std::vector<unsigned char> *raw)
{
    long size = 0;
    if (source.compare(0, 5, "size:") == 0) {
        if (parse_count(source.c_str() + 5, APP_FLASH_BYTES, &size) != 0 || size < 1)
            return -1;
        *raw = test_pattern((size_t)size, (unsigned)size);
    } else if (source.compare(0, 5, "file:") == 0) {
        *raw = read_file(source.substr(5));
    } else if (source == "embedded") {
        raw->assign(embedded_image, embedded_image + embedded_image_size);
    } else {
        return -1;
    }
    return raw->empty() || raw->size() > (size_t)APP_FLASH_BYTES ? -1 : 0;
}

// The image as the device should hold it: padded with zeros like the tool's.
std::vector<unsigned char> expected_flash(const std::vector<unsigned char> &raw)
{
    std::vector<unsigned char> padded((size_t)padded_image_size((int64_t)raw.size()), 0);
    std::copy(raw.begin(), raw.end(), padded.begin());
    return padded;
}

// Peak resident set of this process, from /proc (the high-water mark of
// its own address space, which exec gave it fresh).
long peak_rss_kib(void)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kib = atol(line + 6);
            break;
        }
    }
    fclose(f);
    return kib;
}

// --tool PORT SOURCE LIMIT_MS RESULT_FD: one update, as the tool would do it,
// reported on RESULT_FD. SOURCE as for raw_image. The trace goes to
// standard output, which the parent points at a file.
int tool_main(int argc, char **argv)
{
    if (argc != 6)
        return 2;
    const char *port = argv[2];
    std::string source = argv[3];
    long limit_ms = 0, fd_number = 0;
    if (parse_count(argv[4], 86400000L, &limit_ms) != 0 ||
        parse_count(argv[5], 1024, &fd_number) != 0 || fd_number < 3)
        return 2;
    int result_fd = (int)fd_number;

    // As the tool starts: the link, then the image padded into it.
    DeviceLink link = {};
    init_link(&link);
    if (source == "embedded") {
        const char *why = "";
        if (load_image(&link, &why) != 0)
            return 2;
    } else {
        std::vector<unsigned char> raw;
        if (raw_image(source, &raw) != 0 || pad_image(&link, raw.data(), (int64_t)raw.size()) != 0)
            return 2;
    }
    if (open_line_for_update(&link, port) != 0) {
        dprintf(result_fd, "error cannot open %s\n", port);
        return 1;
    }

    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    UpdateRun run;
    run_update_as_shell(&link, (uint32_t)limit_ms, &run);
    getrusage(RUSAGE_SELF, &after);
    // What the shell does at Done; the simulator waits for the last ack to
    // be read before it goes.
    close_port(link.port);
    fflush(stdout);

    double first_block = run.reached_ms[AwaitBlockAck];
    double verify = run.reached_ms[AwaitVerify];
    // Each block's time: from the step that wrote it to the step that took
    // its ack (and wrote the next).
    std::vector<double> blocks;
    double from = first_block;
    for (double t : run.acks_ms) {
        blocks.push_back(t - from);
        from = t;
    }
    std::sort(blocks.begin(), blocks.end());
    double median = blocks.empty() ? -1 : blocks[blocks.size() / 2];
    double longest = blocks.empty() ? -1 : blocks.back();
    double reads = blocks.empty() ? -1
                                  : (double)(run.reached_step[AwaitVerify] -
                                             run.reached_step[AwaitBlockAck]) /
                                        (double)blocks.size();
    dprintf(result_fd,
            "state %u elapsed %.3f cpu %.3f link %.3f blocks %.3f tail %.3f rss %ld "
            "median %.3f max %.3f reads %.3f\n",
            run.final_state, run.elapsed_ms, cpu_ms(after) - cpu_ms(before), first_block,
            verify >= 0 && first_block >= 0 ? verify - first_block : -1.0,
            verify >= 0 ? run.elapsed_ms - verify : -1.0, peak_rss_kib(), median, longest, reads);
    return 0;
}

// Reads the child's report line (until it closes the pipe or time runs out).
std::string read_report(int fd, long timeout_ms)
{
    std::string text;
    double end = monotonic_ms() + (double)timeout_ms;
    while (text.size() < RESULT_CAPACITY) {
        double left = end - monotonic_ms();
        if (left <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, (int)left + 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, (size_t)n);
    }
    return text;
}

int parse_report(const std::string &text, ToolReport *r)
{
    int n = sscanf(text.c_str(),
                   "state %u elapsed %lf cpu %lf link %lf blocks %lf tail %lf rss %ld "
                   "median %lf max %lf reads %lf",
                   &r->state, &r->elapsed_ms, &r->cpu_ms, &r->link_ms, &r->blocks_ms, &r->tail_ms,
                   &r->peak_rss_kib, &r->block_median_ms, &r->block_max_ms, &r->reads_per_block);
    return n == 10 ? 0 : -1;
}

// The device's view of an update, from the simulator's -v log: the time
// from the first contact probe it heard to the last reset request it heard.
// The same yardstick serves the tool under Wine, whose press cannot be
// timed from here. -1 when the log lacks either.
double device_span_ms(const std::string &log_path)
{
    FILE *f = fopen(log_path.c_str(), "r");
    if (!f)
        return -1;
    double first_probe = -1, last_reset = -1;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        double t;
        char kind[16];
        if (sscanf(line, "fwu-devsim: %lf ms %15s request", &t, kind) != 2)
            continue;
        if (strcmp(kind, "probe") == 0 && first_probe < 0)
            first_probe = t;
        if (strcmp(kind, "reset") == 0)
            last_reset = t;
    }
    fclose(f);
    return first_probe >= 0 && last_reset >= first_probe ? last_reset - first_probe : -1;
}

// One update of one image against a freshly started simulator.
void run_row(const std::string &self, const Options &o, Row *row)
{
    row->ok = false;
    std::vector<unsigned char> raw;
    if (raw_image(row->source, &raw) != 0) {
        row->problem = "cannot read the image, or it does not fit the device";
        return;
    }
    std::vector<unsigned char> image = expected_flash(raw);
    row->raw_size = (long)raw.size();
    row->padded_size = (long)image.size();

    std::string dir = make_scratch_dir();
    if (dir.empty()) {
        row->problem = "no scratch directory";
        return;
    }
    std::string dump = dir + "/flash.bin", json = dir + "/summary.json",
                trace_path = dir + "/trace.txt", log_path = dir + "/devsim.log";

    struct rusage children_before, children_after;
    getrusage(RUSAGE_CHILDREN, &children_before);

    // The simulator logs each request with its time (-v) on its standard
    // error, which it inherits: pointed at a file while it starts.
    DevsimProcess sim;
    std::vector<std::string> args = {"--flash-ms", std::to_string(row->flash_ms),
                                     "--dump", dump, "--summary-json", json, "-v",
                                     "--seconds", std::to_string(o.limit_s + 60)};
    fflush(stderr);
    int saved_stderr = dup(STDERR_FILENO);
    int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log_fd >= 0)
        dup2(log_fd, STDERR_FILENO);
    int started = devsim_start(&sim, args);
    if (saved_stderr >= 0) {
        dup2(saved_stderr, STDERR_FILENO);
        close(saved_stderr);
    }
    if (log_fd >= 0)
        close(log_fd);
    if (started != 0) {
        row->problem = "fwu-devsim did not start: " + sim.output;
        devsim_stop(&sim);
        remove_scratch_dir(dir);
        return;
    }

    int result_pipe[2];
    if (pipe(result_pipe) != 0) {
        row->problem = "no pipe";
        devsim_stop(&sim);
        remove_scratch_dir(dir);
        return;
    }
    std::string limit_ms = std::to_string(o.limit_s * 1000);
    std::string fd_text = std::to_string(result_pipe[1]);
    std::vector<char *> argv = {const_cast<char *>(self.c_str()), const_cast<char *>("--tool"),
                                const_cast<char *>(sim.path.c_str()),
                                const_cast<char *>(row->source.c_str()),
                                const_cast<char *>(limit_ms.c_str()),
                                const_cast<char *>(fd_text.c_str()), nullptr};

    pid_t parent = getpid();
    pid_t tool = fork();
    if (tool == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        close(result_pipe[0]);
        if (sim.out_fd >= 0)
            close(sim.out_fd);
        int trace_fd = open(trace_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (trace_fd < 0 || dup2(trace_fd, STDOUT_FILENO) < 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(result_pipe[1]);
    std::string report;
    if (tool > 0)
        report = read_report(result_pipe[0], o.limit_s * 1000 + 30000);
    close(result_pipe[0]);

    struct rusage tool_usage;
    memset(&tool_usage, 0, sizeof tool_usage);
    if (tool > 0) {
        int status = 0;
        if (report.empty())
            kill(tool, SIGKILL);  // our own child, by its PID
        while (wait4(tool, &status, 0, &tool_usage) < 0 && errno == EINTR) {
        }
    }

    // The simulator ends by itself once its reset ack has been read.
    if (devsim_wait(&sim, 20000) != 0)
        row->problem = "fwu-devsim did not end after the update";
    devsim_stop(&sim);
    getrusage(RUSAGE_CHILDREN, &children_after);

    if (tool <= 0 || parse_report(report, &row->tool) != 0) {
        row->problem = "the tool child reported nothing usable: " + report;
        remove_scratch_dir(dir);
        return;
    }
    row->sim_cpu_ms = cpu_ms(children_after) - cpu_ms(children_before) - cpu_ms(tool_usage);

    std::vector<unsigned char> raw_json = read_file(json);
    std::string summary(raw_json.begin(), raw_json.end());
    row->rx_bytes = json_number(summary, "rx_bytes");
    row->tx_bytes = json_number(summary, "tx_bytes");
    row->blocks_programmed = json_number(summary, "blocks_programmed");
    row->block_resends = json_number(summary, "block_resends");
    row->sim_elapsed_ms = json_number(summary, "elapsed_ms");
    row->device_span_ms = device_span_ms(log_path);
    std::vector<unsigned char> flash = read_file(dump);

    if (row->tool.state != Done)
        row->problem = "the update ended in state " + std::to_string(row->tool.state);
    else if (flash != image)
        row->problem = "the device's flash differs from the image";
    else if (row->rx_bytes <= 0 || row->tx_bytes <= 0)
        row->problem = "no byte counts in the simulator's summary";
    else if (row->problem.empty())
        row->ok = true;
    remove_scratch_dir(dir);
}

// Runs bench/wine_run.py (Wine, Xvfb and the simulator are its own, and it
// stops them) and reads its one-line report.
void run_wine(const Options &o, WineResult *w)
{
    w->ok = false;
    std::string dir = make_scratch_dir();
    if (dir.empty()) {
        w->problem = "no scratch directory";
        return;
    }
    std::string out = dir + "/wine.txt";
    std::string exe = o.win64_dir + "/fwu.exe", probe = o.win64_dir + "/fwu_probe.exe";
    std::string work = std::string(FWU_BENCH_WORK_DIR) + "/wine";
    std::vector<std::string> args = {FWU_PYTHON, FWU_WINE_DRIVER, "--exe", exe, "--probe", probe,
                                     "--devsim", FWU_DEVSIM_PATH, "--image",
                                     FWU_EMBEDDED_IMAGE_PATH, "--work", work, "--out", out};
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    fflush(stdout);
    fflush(stderr);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // the driver cleans up on SIGTERM
        if (getppid() != parent)
            _exit(127);
        dup2(STDERR_FILENO, STDOUT_FILENO);  // its chatter stays off our tables
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    if (child > 0) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    std::vector<unsigned char> raw = read_file(out);
    std::string text(raw.begin(), raw.end());
    remove_scratch_dir(dir);
    int flash_ok = 0;
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        w->problem = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 77
                         ? "fwu.exe or fwu_probe.exe not built (cmake --build --preset win64)"
                         : "the Wine run failed (see above)";
        return;
    }
    if (sscanf(text.c_str(), "span_ms %lf click_ms %lf rx %lld tx %lld blocks %lld flash_ok %d",
               &w->span_ms, &w->click_ms, &w->rx_bytes, &w->tx_bytes, &w->blocks,
               &flash_ok) != 6) {
        w->problem = "the Wine run reported nothing usable";
        return;
    }
    if (!flash_ok) {
        w->problem = "after the Wine run the device's flash differs from the image";
        return;
    }
    w->ok = true;
}

// ---------------------------------------------------------------------------
// The model: what the engine's timing rules make of a paced line.

double wire_ms(double bytes)
{
    return bytes * LINE_BITS_PER_BYTE * 1000.0 / LINE_BAUD;
}

// Time from writing a block to writing the next, for an ack fully arrived
// ack_ms after the write. The next step comes a tick after the write; each
// step's read lasts READ_TOTAL_MS, or ends READ_INTERVAL_MS after the last
// byte if that is sooner; a step that reads nothing is followed a tick later
// by another.
double model_block_ms(double ack_ms)
{
    double step = SHELL_TICK_MS;
    for (int i = 0; i < 1000; i++) {
        double total_end = step + READ_TOTAL_MS;
        if (ack_ms <= total_end) {
            double got = ack_ms > step ? ack_ms : step;
            double quiet_end = got + READ_INTERVAL_MS;
            return quiet_end < total_end ? quiet_end : total_end;
        }
        step = total_end + SHELL_TICK_MS;
    }
    return -1;
}

// Press to the first block: a tick, the first probe and its pause (not
// read), a tick, the second probe and its pause, a read that finds both
// replies together (rejected; it ends 20 ms after them), a tick, the third
// probe, its pause and its reply (accepted, 20 ms of quiet).
double model_link_ms(void)
{
    return 3.0 * SHELL_TICK_MS + 3.0 * PROBE_PAUSE_MS + 2.0 * READ_INTERVAL_MS;
}

// Last ack to Done: verify and reset replies are short and already there
// when the next step reads, so each costs a tick and the read's quiet time.
double model_tail_ms(void)
{
    return 2.0 * (SHELL_TICK_MS + READ_INTERVAL_MS);
}

double model_total_ms(long blocks, long flash_ms)
{
    double ack = wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES) + (double)flash_ms;
    return model_link_ms() + (double)blocks * model_block_ms(ack) + model_tail_ms();
}

std::string size_label(long bytes)
{
    char text[64];
    if (bytes % 1024 == 0)
        snprintf(text, sizeof text, "%ld KiB", bytes / 1024);
    else
        snprintf(text, sizeof text, "%ld B", bytes);
    return text;
}

std::string image_label(const std::string &source)
{
    std::vector<unsigned char> raw;
    if (raw_image(source, &raw) != 0)
        return source;
    std::string size = std::to_string(raw.size()) + " B";
    if (source == "embedded") {
        const char *path = FWU_EMBEDDED_IMAGE_PATH;
        const char *res = strstr(path, "/res/");
        return std::string(res ? res + 1 : path) + " (embedded, " + size + ")";
    }
    if (source.compare(0, 5, "file:") == 0) {
        const char *base = strrchr(source.c_str(), '/');
        return std::string(base ? base + 1 : source.c_str() + 5) + " (" + size + ")";
    }
    std::string label = size_label((long)raw.size());
    if (raw.size() == (size_t)APP_FLASH_BYTES)
        label += " (all the flash)";
    return label;
}

void print_tables(const std::vector<Row> &rows)
{
    printf("| image | device | update s | wire limit s | ratio | wire + flash s | ratio | "
           "tool CPU | tool peak RSS | sim CPU |\n");
    printf("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const Row &r : rows) {
        std::string device = r.flash_ms == 0 ? "instant" : std::to_string(r.flash_ms) + " ms/block";
        if (!r.ok) {
            printf("| %s | %s | failed: %s |\n", r.image.c_str(), device.c_str(), r.problem.c_str());
            continue;
        }
        double update = r.tool.elapsed_ms / 1000.0;
        double wire = wire_ms((double)(r.rx_bytes + r.tx_bytes)) / 1000.0;
        double floor = wire + (double)r.blocks_programmed * (double)r.flash_ms / 1000.0;
        printf("| %s | %s | %.3f | %.3f | %.3f | %.3f | %.3f | %.2f %% | %.1f MiB | %.2f %% |\n",
               r.image.c_str(), device.c_str(), update, wire, update / wire, floor, update / floor,
               100.0 * r.tool.cpu_ms / r.tool.elapsed_ms, (double)r.tool.peak_rss_kib / 1024.0,
               r.sim_elapsed_ms > 0 ? 100.0 * r.sim_cpu_ms / (double)r.sim_elapsed_ms : 0.0);
    }

    printf("\nWhere the time goes (measured, and modelled from the engine's timing rules):\n\n");
    printf("| image | device | blocks | link ms (model) | per block ms: mean (model) | "
           "median | max | reads per block | block wire ms | verify+reset ms (model) | "
           "model total s | device view s |\n");
    printf("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const Row &r : rows) {
        if (!r.ok)
            continue;
        std::string device = r.flash_ms == 0 ? "instant" : std::to_string(r.flash_ms) + " ms/block";
        long blocks = r.padded_size / BLOCK_SIZE;
        double ack = wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES) + (double)r.flash_ms;
        printf("| %s | %s | %ld | %.1f (%.0f) | %.2f (%.2f) | %.2f | %.2f | %.2f | %.2f | "
               "%.1f (%.0f) | %.3f | %.3f |\n",
               r.image.c_str(), device.c_str(), blocks, r.tool.link_ms, model_link_ms(),
               r.tool.blocks_ms / (double)blocks, model_block_ms(ack), r.tool.block_median_ms,
               r.tool.block_max_ms, r.tool.reads_per_block,
               wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES), r.tool.tail_ms, model_tail_ms(),
               model_total_ms(blocks, r.flash_ms) / 1000.0, r.device_span_ms / 1000.0);
    }
}

void print_wine(const Row *native, const WineResult &w)
{
    printf("\nThe native tool and fwu.exe under Wine, the same embedded image, an instant "
           "device, the line paced (device view: first probe heard to last reset heard, "
           "from the simulator's log):\n\n");
    printf("| tool | update s | device view s | wire limit s | ratio (device view) | "
           "ratio (update) |\n");
    printf("|---|--:|--:|--:|--:|--:|\n");
    if (native != nullptr && native->ok) {
        double wire = wire_ms((double)(native->rx_bytes + native->tx_bytes)) / 1000.0;
        printf("| native engine + POSIX serial link, %s | %.3f (press to Done) | %.3f | %.3f | "
               "%.3f | %.3f |\n",
               native->image.c_str(), native->tool.elapsed_ms / 1000.0,
               native->device_span_ms / 1000.0, wire, native->device_span_ms / 1000.0 / wire,
               native->tool.elapsed_ms / 1000.0 / wire);
    } else {
        printf("| native engine + POSIX serial link | failed | | | | |\n");
    }
    if (w.ok) {
        double wire = wire_ms((double)(w.rx_bytes + w.tx_bytes)) / 1000.0;
        printf("| fwu.exe (win64) under Wine | %.3f (click to \"Programming Completed\" seen) | "
               "%.3f | %.3f | %.3f | %.3f |\n",
               w.click_ms / 1000.0, w.span_ms / 1000.0, wire, w.span_ms / 1000.0 / wire,
               w.click_ms / 1000.0 / wire);
    } else {
        printf("| fwu.exe (win64) under Wine | failed: %s | | | | |\n", w.problem.c_str());
    }
}

void print_setting(void)
{
    struct utsname u;
    char cpu[128] = "?";
    FILE *f = fopen("/proc/cpuinfo", "r");
    if (f) {
        char line[256];
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "model name", 10) == 0) {
                const char *colon = strchr(line, ':');
                if (colon)
                    snprintf(cpu, sizeof cpu, "%s", colon + 2);
                cpu[strcspn(cpu, "\n")] = '\0';
                break;
            }
        }
        fclose(f);
    }
    uname(&u);
    printf("fwu-bench: native engine + POSIX serial link over a pty, fwu-devsim paced at "
           "%d baud 8E1 (%d bits a byte); %s %s, %ld CPUs, %s\n",
           LINE_BAUD, LINE_BITS_PER_BYTE, u.sysname, u.release, sysconf(_SC_NPROCESSORS_ONLN),
           cpu);
}

// Other work on the machine delays the steps and the simulator alike.
void print_load(const char *when)
{
    double load[3];
    if (getloadavg(load, 3) == 3)
        printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--tool") == 0)
        return tool_main(argc, argv);

    Options o;
    int parsed = parse_options(argc, argv, &o);
    if (parsed != 0)
        return parsed == 1 ? 0 : 2;

    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        fprintf(stderr, "fwu-bench: cannot find my own program\n");
        return 1;
    }
    self[n] = '\0';
    signal(SIGPIPE, SIG_IGN);

    std::vector<Row> rows;
    std::vector<std::string> sources;
    for (long size : o.sizes)
        sources.push_back("size:" + std::to_string(size));
    sources.insert(sources.end(), o.sources.begin(), o.sources.end());
    // The Wine row is compared with the native tool on the same image.
    if (o.wine && std::find(sources.begin(), sources.end(), "embedded") == sources.end())
        sources.push_back("embedded");
    if (o.wine && std::find(o.flash_ms.begin(), o.flash_ms.end(), 0L) == o.flash_ms.end())
        o.flash_ms.insert(o.flash_ms.begin(), 0L);

    print_setting();
    print_load("before");
    for (const std::string &source : sources) {
        for (long fm : o.flash_ms) {
            Row row = Row();
            row.source = source;
            row.flash_ms = fm;
            row.image = image_label(source);
            fprintf(stderr, "fwu-bench: %s, device %ld ms/block...\n", row.image.c_str(), fm);
            run_row(self, o, &row);
            if (row.ok)
                fprintf(stderr, "fwu-bench:   %.3f s\n", row.tool.elapsed_ms / 1000.0);
            else
                fprintf(stderr, "fwu-bench:   failed: %s\n", row.problem.c_str());
            rows.push_back(row);
        }
    }
    WineResult wine = WineResult();
    if (o.wine) {
        fprintf(stderr, "fwu-bench: fwu.exe under Wine, embedded image, device 0 ms/block...\n");
        run_wine(o, &wine);
        if (wine.ok)
            fprintf(stderr, "fwu-bench:   %.3f s (device view)\n", wine.span_ms / 1000.0);
        else
            fprintf(stderr, "fwu-bench:   failed: %s\n", wine.problem.c_str());
    }
    print_load("after");
    printf("\n");
    print_tables(rows);
    if (o.wine) {
        const Row *native = nullptr;
        for (const Row &r : rows)
            if (r.source == "embedded" && r.flash_ms == 0)
                native = &r;
        print_wine(native, wine);
    }
    for (const Row &r : rows)
        if (!r.ok)
            return 1;
    return o.wine && !wine.ok ? 1 : 0;
}
