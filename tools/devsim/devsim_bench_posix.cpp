// fwu-devsim's side of the devices one after another: each device's dump
// as it is unplugged (the rest at the end), and the -v lines of its reset,
// stay, unplug and the next one's plug-in.
#include <stdio.h>

#include "devsim_shell.h"

void dump_device(const Devsim *dev, uint32_t device)
{
    if (!sim.opt.dump_path || device <= sim.dumped)
        return;
    sim.dumped = device;
    char path[DEVSIM_PATH_CAPACITY];
    if (dump_path_for(sim.opt.dump_path, device, path, sizeof path) != 0) {
        fprintf(stderr, "fwu-devsim: the dump path of device %u is too long\n", device);
        sim.dump_failed = 1;
        return;
    }
    int rc = device == dev->device ? devsim_write_dump(dev, path, sim.opt.dump_size)
                                   : devsim_write_fresh_dump(&dev->config, path, sim.opt.dump_size);
    if (rc != 0)
        sim.dump_failed = 1;
}

void on_device_change(const Devsim *dev, int change, uint64_t t_us, void *)
{
    if (change == ChangeUnplugged)
        dump_device(dev, dev->device);
    if (!sim.opt.verbose || (!sim.name_devices && dev->config.stays.count == 0))
        return;
    double ms = t_us / 1e3;
    switch (change) {
    case ChangeRunning:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: reset, runs its firmware (answers nothing)\n", ms,
                dev->device);
        break;
    case ChangeStaying:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: reset, but stays in its boot loader for %llu ms\n",
                ms, dev->device, (unsigned long long)(dev->config.stay_us / 1000u));
        break;
    case ChangeUnplugged:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: unplugged%s\n", ms, dev->device,
                dev->ended ? ", the last one" : "");
        break;
    case ChangePlugged:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: plugged in, erased flash%s\n", ms, dev->device,
                dev->config.preload ? " but for --flash-from" : "");
        break;
    default:
        break;
    }
}
