// The boot loader's receiving side: framing the bytes received (layout,
// CRC, silences), and the device's set-up and names. What a request does and
// its reply are in devsim_reply.cpp, the fault picks in devsim_faults.cpp,
// the devices one after another in devsim_devices.cpp.
#include "devsim_core.h"

#include <string.h>

#include "devsim_core_internal.h"

namespace {

void drop_front(Devsim *dev, int32_t n)
{
    if (n >= dev->rx_len) {
        dev->rx_len = 0;
        return;
    }
    memmove(dev->rx, dev->rx + n, (size_t)(dev->rx_len - n));
    dev->rx_len -= n;
}

// Length of the request that starts at rx[0]: > 0 when known, 0 when more
// bytes are needed to tell, -1 when rx[0] cannot start a request.
int32_t request_length(const Devsim *dev)
{
    const unsigned char *rx = dev->rx;
    int32_t have = dev->rx_len;
    if (have < 1)
        return 0;
    if (rx[0] != UNIT_ADDRESS)
        return -1;
    if (have < 2)
        return 0;
    if (rx[1] != FRAME_FUNCTION)
        return -1;
    if (have < 3)
        return 0;
    switch (rx[2]) {
    case OP_REGION_CRC:
        return REGION_CRC_REQUEST_LEN;
    case OP_RESET:
        return RESET_REQUEST_LEN;
    case OP_PROGRAM_BLOCK: {
        if (have < 9)
            return 0;
        int32_t n = (rx[7] << 8) | rx[8];
        if (n < 1 || n > DEVSIM_MAX_BLOCK)
            return -1;
        return BLOCK_REQUEST_OVERHEAD + n;
    }
    default:
        return -1;
    }
}

} // namespace

void devsim_default_config(DevsimConfig *config)
{
    memset(config, 0, sizeof *config);
    config->late_ms = 5100;
    config->erase_block = 1;
    config->early_ack_ms = 3;
    config->split_gap_ms = 40;
    config->split_at = 0;
    config->noise_bytes = 8;
    config->gap_us = 5000;
    config->seed = 1;
    config->devices = 1;
    config->swap_us = 1500000;
    config->stay_us = 3000000;
}

void devsim_init(Devsim *dev, const DevsimConfig *config)
{
    if (config != &dev->config)
        dev->config = *config;
    dev->faults_on = 1;
    dev->rng = dev->config.seed;
    dev->last_rx_us = 0;
    memset(&dev->counters, 0, sizeof dev->counters);
    if (dev->config.devices < 1)
        dev->config.devices = 1;
    if (dev->config.devices > DEVSIM_MAX_DEVICES)
        dev->config.devices = DEVSIM_MAX_DEVICES;
    dev->device = 1;
    dev->ended = 0;
    dev->phase_end_us = 0;
    dev->on_change = NULL;
    dev->change_context = NULL;
    memset(dev->results, 0, sizeof dev->results);
    devsim_plug_in(dev, 0);
}

void devsim_push(Devsim *dev, unsigned char byte, uint64_t t_us)
{
    devsim_advance(dev, t_us);
    // Unpowered, resetting once its reset ack is on the way, fallen mute,
    // running its firmware, or no device on the line at all: deaf.
    if (t_us < dev->listen_us || dev->resetting || dev->ended || dev->phase == DevsimPhaseRunning ||
        dev->phase == DevsimPhaseGone || devsim_muted(dev)) {
        dev->counters.ignored_bytes++;
        return;
    }
    if (dev->rx_len > 0 && t_us > dev->last_rx_us && t_us - dev->last_rx_us > dev->config.gap_us) {
        dev->counters.gap_discards++;
        dev->counters.garbage_bytes += (uint64_t)dev->rx_len;
        dev->rx_len = 0;
    }
    if (dev->rx_len >= DEVSIM_RX_CAPACITY) {
        // Only reachable when the caller pushes without taking requests out.
        drop_front(dev, 1);
        dev->counters.garbage_bytes++;
    }
    dev->rx[dev->rx_len++] = byte;
    dev->last_rx_us = t_us;
}

int devsim_next(Devsim *dev, DevsimReply *out)
{
    for (;;) {
        int32_t len = request_length(dev);
        if (len < 0) {
            drop_front(dev, 1);
            dev->counters.garbage_bytes++;
            continue;
        }
        if (len == 0 || dev->rx_len < len)
            return 0;
        uint16_t stored = (uint16_t)(dev->rx[len - 2] | (dev->rx[len - 1] << 8));
        if (crc16(dev->rx, len - 2) != stored) {
            dev->counters.crc_errors++;
            drop_front(dev, 1);
            dev->counters.garbage_bytes++;
            continue;
        }
        memset(out, 0, sizeof *out);
        devsim_answer(dev, len, out);
        drop_front(dev, len);
        return 1;
    }
}

const char *devsim_kind_name(int kind)
{
    static const char *const names[DEVSIM_KIND_COUNT] = {"any", "probe", "block", "verify", "reset"};
    return kind >= 0 && kind < DEVSIM_KIND_COUNT ? names[kind] : "?";
}

const char *devsim_fault_name(int fault)
{
    static const char *const names[DEVSIM_FAULT_COUNT] = {
        "drop", "corrupt", "split", "late", "wrong-crc", "short", "noise", "early-reset-ack"};
    return fault >= 0 && fault < DEVSIM_FAULT_COUNT ? names[fault] : "?";
}

const char *devsim_phase_name(int phase)
{
    static const char *const names[] = {"boot-loader", "running", "staying", "unplugged",
                                        "never-plugged"};
    return phase >= 0 && phase <= DevsimPhaseNeverPlugged ? names[phase] : "?";
}
