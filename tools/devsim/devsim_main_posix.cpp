// fwu-devsim's I/O shell: the pacing of bytes at wire speed both ways over
// the line (devsim_wire_posix.cpp, the line itself devsim_line_posix.cpp),
// the loop that times replies and takes signals (devsim_loop_posix.cpp),
// the devices' dumps (devsim_bench_posix.cpp), and the run's end (the
// reports: devsim_report.cpp). Everything the device does with the bytes
// lives in devsim_core. This file: the command line, setting up, the end.
#include <stdio.h>
#include <unistd.h>

#include "devsim_shell.h"

// The simulator's one record (devsim_shell.h).
Sim sim;

int main(int argc, char **argv)
{
    char err[ERROR_TEXT_CAPACITY] = "";
    int parsed = parse_options(argc, argv, &sim.opt, err, sizeof err);
    if (parsed == 1) {
        print_usage(stdout);
        return 0;
    }
    if (parsed != 0) {
        fprintf(stderr, "fwu-devsim: %s\n(fwu-devsim --help lists the options)\n", err);
        return 2;
    }

    if (sim.opt.flash_from) {
        static unsigned char preload[DEVSIM_APP_SIZE];
        uint32_t len = 0;
        if (load_flash_file(sim.opt.flash_from, preload, sizeof preload, &len, err, sizeof err) != 0) {
            fprintf(stderr, "fwu-devsim: %s\n", err);
            return 2;
        }
        sim.opt.config.preload = preload;
        sim.opt.config.preload_len = len;
    }

    static RxByte ring[RX_RING_CAPACITY];
    sim.rx = ring;
    sim.line.fd = -1;
    sim.line.slave_fd = -1;
    sim.name_devices = sim.opt.config.devices > 1;
    devsim_init(&sim.dev, &sim.opt.config);
    sim.dev.on_change = on_device_change;
    install_signals();

    int opened = sim.opt.attach_path ? devsim_open_device(&sim.line, sim.opt.attach_path)
                                   : devsim_open_pty(&sim.line);
    if (opened != 0)
        return 1;
    if (sim.opt.link_path && devsim_make_link(&sim.line, sim.opt.link_path) != 0)
        return 1;

    printf("%s\n", sim.line.path);
    fflush(stdout);

    sim.start_ns = (uint64_t)monotonic_ns();
    if (sim.opt.seconds)
        sim.deadline_ns = (uint64_t)sim.opt.seconds * 1000u * NS_PER_MS;
    if (sim.opt.noise_every_ms)
        sim.next_noise_ns = sim.opt.noise_every_ms * NS_PER_MS;

    run();
    if (sim.exit_reason == ExitReset)
        drain_line();

    DevsimEnd end;
    end.reason = sim.exit_reason;
    end.rx_bytes = sim.rx_bytes;
    end.tx_bytes = sim.tx_bytes;
    end.reply_overflows = sim.queue_overflows;
    end.elapsed_ms = now_ns() / NS_PER_MS;
    int rc = sim.exit_reason == ExitLineLost ? 1 : 0;
    // The device on the line and those never plugged in; those that left
    // have theirs already.
    for (uint32_t k = sim.dumped + 1; k <= sim.dev.config.devices; k++)
        dump_device(&sim.dev, k);
    if (sim.dump_failed)
        rc = 1;
    if (sim.opt.summary_json && devsim_write_summary_json(&sim.dev, &end, sim.opt.summary_json) != 0)
        rc = 1;
    devsim_print_summary(&sim.dev, &end);
    devsim_remove_link(&sim.line);
    if (sim.line.slave_fd >= 0)
        close(sim.line.slave_fd);
    close(sim.line.fd);
    return rc;
}
