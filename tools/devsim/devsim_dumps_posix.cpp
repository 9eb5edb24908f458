// fwu-devsim's side of the devices one after another: each device's dump
// as it is unplugged (the rest at the end), and the -v lines of its reset,
// stay, unplug and the next one's plug-in.
#include <stdio.h>

#include "devsim_shell.h"

void devsim_dump_device(DevsimShell *shell, uint32_t device)
{
    const Devsim *dev = &shell->dev;
    if (!shell->opt.dump_path || device <= shell->dumped)
        return;
    shell->dumped = device;
    char path[DEVSIM_PATH_CAPACITY];
    if (devsim_dump_path_for(shell->opt.dump_path, device, path, sizeof path) != 0) {
        fprintf(stderr, "fwu-devsim: the dump path of device %u is too long\n", device);
        shell->dump_failed = 1;
        return;
    }
    int rc = device == dev->device ? devsim_write_dump(dev, path, shell->opt.dump_size)
                                   : devsim_write_fresh_dump(&dev->config, path, shell->opt.dump_size);
    if (rc != 0)
        shell->dump_failed = 1;
}

void devsim_on_device_change(const Devsim *dev, int change, uint64_t t_us, void *context)
{
    DevsimShell *shell = static_cast<DevsimShell *>(context);
    if (change == DevsimChangeUnplugged)
        devsim_dump_device(shell, dev->device);
    if (!shell->opt.verbose || (!shell->name_devices && dev->config.stays.count == 0))
        return;
    double ms = t_us / 1e3;
    switch (change) {
    case DevsimChangeRunning:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: reset, runs its firmware (answers nothing)\n", ms,
                dev->device);
        break;
    case DevsimChangeStaying:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: reset, but stays in its boot loader for %llu ms\n",
                ms, dev->device, (unsigned long long)(dev->config.stay_us / 1000u));
        break;
    case DevsimChangeUnplugged:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: unplugged%s\n", ms, dev->device,
                dev->ended ? ", the last one" : "");
        break;
    case DevsimChangePlugged:
        fprintf(stderr, "fwu-devsim: %8.3f ms device %u: plugged in, erased flash%s\n", ms, dev->device,
                dev->config.preload ? " but for --flash-from" : "");
        break;
    default:
        break;
    }
}
