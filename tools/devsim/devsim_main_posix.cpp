// fwu-devsim's I/O shell: the pacing of bytes at wire speed both ways over
// the line (devsim_wire_posix.cpp, the line itself devsim_line_posix.cpp),
// the loop that times replies and takes signals (devsim_loop_posix.cpp),
// the devices' dumps (devsim_dumps_posix.cpp), and the run's end (the
// reports: devsim_report.cpp). Everything the device does with the bytes
// lives in devsim_core. This file: the command line, setting up, the end.
#include <stdio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "devsim_shell.h"
#include "fwu_version.h"

namespace {

// One line, as fwu --version begins: the name, the version, the system.
void print_version(void)
{
    struct utsname u;
    if (uname(&u) != 0) {
        printf("fwu-devsim %s (posix)\n", FWU_VERSION);
        return;
    }
    printf("fwu-devsim %s (%.*s %.*s)\n", FWU_VERSION, (int)sizeof u.sysname, u.sysname,
           (int)sizeof u.machine, u.machine);
}

// The command line and the --flash-from file into shell. 0 to run, or -1
// with the exit status in *status (0 after --help or --version).
int take_command_line(DevsimShell *shell, int argc, char **argv, int *status)
{
    char err[DEVSIM_ERROR_CAPACITY] = "";
    *status = 0;
    switch (devsim_parse_options(argc, argv, &shell->opt, err, sizeof err)) {
    case DevsimParseRun:
        break;
    case DevsimParseHelp:
        devsim_print_usage(stdout);
        return -1;
    case DevsimParseVersion:
        print_version();
        return -1;
    default:
        fprintf(stderr, "fwu-devsim: %s\n(fwu-devsim --help lists the options)\n", err);
        *status = 2;
        return -1;
    }
    DevsimConfig *config = &shell->opt.config;
    if (shell->opt.flash_from) {
        uint32_t len = 0;
        if (devsim_load_flash_file(shell->opt.flash_from, shell->preload, sizeof shell->preload, &len, err,
                                   sizeof err) != 0) {
            fprintf(stderr, "fwu-devsim: %s\n", err);
            *status = 2;
            return -1;
        }
        config->preload = shell->preload;
        config->preload_len = len;
    }
    return 0;
}

// The device, the signals, then the line; its path on the first line of
// standard output, and the clock starts. 0, or -1 with a line on stderr.
int start(DevsimShell *shell)
{
    const DevsimOptions *opt = &shell->opt;
    shell->line.fd = -1;
    shell->line.slave_fd = -1;
    shell->name_devices = opt->config.devices > 1;
    devsim_init(&shell->dev, &opt->config);
    shell->dev.on_change = devsim_on_device_change;
    shell->dev.change_context = shell;
    devsim_install_signals();

    int opened = opt->attach_path ? devsim_open_device(&shell->line, opt->attach_path)
                                  : devsim_open_pty(&shell->line);
    if (opened != 0)
        return -1;
    if (opt->link_path && devsim_make_link(&shell->line, opt->link_path) != 0)
        return -1;

    printf("%s\n", shell->line.path);
    fflush(stdout);

    shell->start_ns = (uint64_t)monotonic_ns();
    if (opt->seconds)
        shell->deadline_ns = (uint64_t)opt->seconds * 1000u * DEVSIM_NS_PER_MS;
    if (opt->noise_every_ms)
        shell->next_noise_ns = opt->noise_every_ms * DEVSIM_NS_PER_MS;
    return 0;
}

// The dumps and the summaries, the line closed. Returns the exit status.
int finish(DevsimShell *shell)
{
    DevsimEnd end;
    end.reason = shell->exit_reason;
    end.rx_bytes = shell->rx_bytes;
    end.tx_bytes = shell->tx_bytes;
    end.reply_overflows = shell->queue_overflows;
    end.elapsed_ms = devsim_now_ns(shell) / DEVSIM_NS_PER_MS;
    int rc = shell->exit_reason == DevsimExitLineLost ? 1 : 0;
    // The device on the line and those never plugged in; those that left
    // have theirs already.
    for (uint32_t k = shell->dumped + 1; k <= shell->dev.config.devices; k++)
        devsim_dump_device(shell, k);
    if (shell->dump_failed)
        rc = 1;
    const char *json = shell->opt.summary_json;
    if (json && devsim_write_summary_json(&shell->dev, &end, json) != 0)
        rc = 1;
    devsim_print_summary(&shell->dev, &end);
    devsim_remove_link(&shell->line);
    if (shell->line.slave_fd >= 0)
        close(shell->line.slave_fd);
    close(shell->line.fd);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    // Static for its size only; from here on it is handed down by pointer.
    static DevsimShell shell;
    int status = 0;
    if (take_command_line(&shell, argc, argv, &status) != 0)
        return status;
    if (start(&shell) != 0)
        return 1;
    devsim_run(&shell);
    if (shell.exit_reason == DevsimExitReset)
        devsim_drain_line(&shell.line);
    return finish(&shell);
}
