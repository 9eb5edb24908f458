// The devices one after another on the line, as on a production bench:
// each one's reset and what follows it (running, staying, unplugged), the
// next one's plug-in, and each device's own share of the counters.
#include <string.h>

#include "devsim_core_internal.h"

namespace {

void notify(Devsim *dev, int change, uint64_t t_us)
{
    if (dev->on_change)
        dev->on_change(dev, change, t_us, dev->change_context);
}

// Whether the stays selector picks device number (no percent items: they
// are refused when parsed, and would draw from the fault generator).
int device_stays(Devsim *dev, uint32_t device)
{
    const DevsimFaultRule *rule = &dev->config.stays;
    for (int i = 0; i < rule->count && i < DEVSIM_MAX_ITEMS; i++) {
        const DevsimSelectorItem *item = &rule->items[i];
        if (item->type == DevsimSelPercent)
            continue;
        if (devsim_item_selects(dev, item, device))
            return 1;
    }
    return 0;
}

// a - b, field by field: what happened between two readings of the totals.
void subtract_counters(const DevsimCounters *a, const DevsimCounters *b, DevsimCounters *out)
{
    for (int k = 0; k < DEVSIM_KIND_COUNT; k++) {
        out->requests[k] = a->requests[k] - b->requests[k];
        out->replies[k] = a->replies[k] - b->replies[k];
    }
    for (int f = 0; f < DEVSIM_FAULT_COUNT; f++)
        out->faults[f] = a->faults[f] - b->faults[f];
    out->blocks_programmed = a->blocks_programmed - b->blocks_programmed;
    out->bytes_programmed = a->bytes_programmed - b->bytes_programmed;
    out->block_resends = a->block_resends - b->block_resends;
    out->crc_errors = a->crc_errors - b->crc_errors;
    out->gap_discards = a->gap_discards - b->gap_discards;
    out->garbage_bytes = a->garbage_bytes - b->garbage_bytes;
    out->ignored_bytes = a->ignored_bytes - b->ignored_bytes;
    out->refused = a->refused - b->refused;
    out->resets = a->resets - b->resets;
    out->noise_bursts = a->noise_bursts - b->noise_bursts;
    out->noise_bytes = a->noise_bytes - b->noise_bytes;
}

// The operator takes the device off the line (its share is kept) and plugs
// the next one in at t_us.
void plug_next(Devsim *dev, uint64_t t_us)
{
    DevsimDeviceResult *left = &dev->results[dev->device - 1];
    left->phase = (uint8_t)(device_stays(dev, dev->device) ? DevsimPhaseStaying : DevsimPhaseRunning);
    left->programmed_size = devsim_programmed_size(dev);
    subtract_counters(&dev->counters, &dev->plugged_counters, &left->counters);

    dev->device++;
    devsim_plug_in(dev, t_us);
    notify(dev, DevsimChangePlugged, t_us);
}

int change_pending(const Devsim *dev)
{
    return !dev->ended &&
           (dev->phase == DevsimPhaseRunning || dev->phase == DevsimPhaseStaying ||
            dev->phase == DevsimPhaseGone);
}

} // namespace

void devsim_plug_in(Devsim *dev, uint64_t t_us)
{
    dev->phase = DevsimPhaseBootLoader;
    dev->listen_us = t_us + dev->config.silent_us;
    dev->plugged_counters = dev->counters;
    dev->resetting = 0;
    dev->resets_ignored = 0;
    dev->rx_len = 0;
    dev->have_last_block = 0;
    dev->last_block_address = 0;
    memset(dev->flash, 0xFF, sizeof dev->flash);
    uint32_t n = dev->config.preload_len;
    if (dev->config.preload && n > 0) {
        if (n > DEVSIM_APP_SIZE)
            n = DEVSIM_APP_SIZE;
        memcpy(dev->flash + (DEVSIM_APP_BASE - DEVSIM_FLASH_BASE), dev->config.preload, n);
    }
    dev->written_end = 0;
}

uint32_t devsim_device_requests(const Devsim *dev, int kind)
{
    return dev->counters.requests[kind] - dev->plugged_counters.requests[kind];
}

int devsim_muted(const Devsim *dev)
{
    return dev->config.mute_after > 0 &&
           devsim_device_requests(dev, DevsimKindBlock) >= dev->config.mute_after;
}

void devsim_reset_done(Devsim *dev)
{
    dev->resetting = 0;
    dev->rx_len = 0;
}

void devsim_reset_left(Devsim *dev, uint64_t t_us)
{
    devsim_advance(dev, t_us);
    if (!dev->resetting || dev->ended)
        return;
    const DevsimConfig *cfg = &dev->config;
    int last = dev->device >= cfg->devices;
    // A device already staying, and the last one kept running, go back to
    // their boot loader; a stay runs from the first reset.
    if (dev->phase == DevsimPhaseStaying || (last && cfg->keep_running)) {
        devsim_reset_done(dev);
        return;
    }
    if (device_stays(dev, dev->device)) {
        devsim_reset_done(dev);
        dev->phase = DevsimPhaseStaying;
        dev->phase_end_us = t_us + cfg->stay_us;
        notify(dev, DevsimChangeStaying, t_us);
        return;
    }
    dev->resetting = 0;
    dev->rx_len = 0;
    dev->phase = DevsimPhaseRunning;
    dev->phase_end_us = t_us + cfg->swap_us;
    dev->ended = last;
    notify(dev, DevsimChangeRunning, t_us);
}

void devsim_advance(Devsim *dev, uint64_t t_us)
{
    while (change_pending(dev) && t_us >= dev->phase_end_us) {
        uint64_t at = dev->phase_end_us;
        if (dev->phase == DevsimPhaseStaying) {
            dev->resetting = 0;
            dev->rx_len = 0;
            dev->phase = DevsimPhaseGone;
            dev->phase_end_us = at + dev->config.swap_us;
            dev->ended = dev->device >= dev->config.devices;
            notify(dev, DevsimChangeUnplugged, at);
            continue;
        }
        if (dev->phase == DevsimPhaseRunning)
            notify(dev, DevsimChangeUnplugged, at);
        plug_next(dev, at);
    }
}

int devsim_next_change(const Devsim *dev, uint64_t *at_us)
{
    if (!change_pending(dev))
        return 0;
    *at_us = dev->phase_end_us;
    return 1;
}

int devsim_ended(const Devsim *dev)
{
    return dev->ended;
}

int devsim_device_result(const Devsim *dev, uint32_t device, DevsimDeviceResult *out)
{
    memset(out, 0, sizeof *out);
    if (device < 1 || device > dev->config.devices)
        return -1;
    if (device < dev->device) {
        *out = dev->results[device - 1];
    } else if (device == dev->device) {
        out->phase = dev->phase == DevsimPhaseGone ? (uint8_t)DevsimPhaseStaying : dev->phase;
        out->programmed_size = devsim_programmed_size(dev);
        subtract_counters(&dev->counters, &dev->plugged_counters, &out->counters);
    } else {
        out->phase = DevsimPhaseNeverPlugged;
    }
    return 0;
}
