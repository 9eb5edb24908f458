// What the boot loader does with a request: carrying it out on flash, its
// normal answer, and that answer reshaped by the faults picked for it
// (dropped, damaged, shortened, late, split, after noise). Also the
// spontaneous noise bursts and the flash reads for dumps and tests.
#include <string.h>

#include "devsim_core_internal.h"

namespace {

uint32_t get_be32(const unsigned char *at)
{
    return ((uint32_t)at[0] << 24) | ((uint32_t)at[1] << 16) | ((uint32_t)at[2] << 8) | at[3];
}

void seal(unsigned char *frame, int32_t len)
{
    uint16_t crc = crc16(frame, len - 2);
    frame[len - 2] = (unsigned char)(crc & 0xFF);
    frame[len - 1] = (unsigned char)(crc >> 8);
}

int region_in_flash(uint32_t address, uint64_t count)
{
    return address >= DEVSIM_FLASH_BASE &&
           (uint64_t)address + count <= (uint64_t)DEVSIM_FLASH_BASE + DEVSIM_FLASH_SIZE;
}

// Carries out the request in rx[0..len) (CRC already checked) and writes its
// normal answer into frame. Returns the answer's length, 0 when refused.
int32_t carry_out(Devsim *dev, int32_t len, int *kind, unsigned char *frame,
                  uint32_t *wrong_crc_at)
{
    const unsigned char *rx = dev->rx;
    DevsimCounters *c = &dev->counters;
    uint32_t address = get_be32(rx + 3);
    *wrong_crc_at = 0;

    switch (rx[2]) {
    case OP_PROGRAM_BLOCK: {
        int32_t n = len - BLOCK_REQUEST_OVERHEAD;
        *kind = DevsimKindBlock;
        c->requests[DevsimKindBlock]++;
        if (dev->have_last_block && dev->last_block_address == address)
            c->block_resends++;
        dev->have_last_block = 1;
        dev->last_block_address = address;
        if (address < DEVSIM_APP_BASE || !region_in_flash(address, (uint64_t)n))
            return 0;
        uint32_t at = address - DEVSIM_FLASH_BASE;
        memcpy(dev->flash + at, rx + 9, (size_t)n);
        if ((uint64_t)at + (uint64_t)n > dev->written_end)
            dev->written_end = (uint64_t)at + (uint64_t)n;
        c->blocks_programmed++;
        c->bytes_programmed += (uint64_t)n;
        memcpy(frame, rx, 9);
        seal(frame, 11);
        return 11;
    }
    case OP_REGION_CRC: {
        uint32_t count = get_be32(rx + 7);
        *kind = count == 4 ? DevsimKindProbe : DevsimKindVerify;
        c->requests[*kind]++;
        if (!region_in_flash(address, count))
            return 0;
        // crc16 takes a signed count; a region is at most 1 MiB.
        uint16_t crc = crc16(dev->flash + (address - DEVSIM_FLASH_BASE), (int32_t)count);
        memcpy(frame, rx, 11);
        frame[11] = (unsigned char)(crc >> 8);
        frame[12] = (unsigned char)(crc & 0xFF);
        seal(frame, 15);
        *wrong_crc_at = 11;
        return 15;
    }
    case OP_RESET:
        *kind = DevsimKindReset;
        c->requests[DevsimKindReset]++;
        memcpy(frame, rx, 3);
        seal(frame, 5);
        return 5;
    default:
        return 0;
    }
}

void add_chunk(DevsimReply *out, uint32_t delay_ms, int32_t off, int32_t len)
{
    if (len <= 0 || out->chunk_count >= DEVSIM_MAX_CHUNKS)
        return;
    DevsimChunk *chunk = &out->chunks[out->chunk_count++];
    chunk->delay_ms = delay_ms;
    chunk->off = off;
    chunk->len = len;
}

int has_fault(uint32_t faults, int fault)
{
    return (faults & (1u << fault)) != 0;
}

// The faults picked for a reply of kind, counted. A wrong CRC needs a
// region CRC to report (crc_at > 0).
uint32_t faults_for(Devsim *dev, int kind, uint32_t crc_at)
{
    uint32_t faults = devsim_pick_faults(dev, kind);
    if (crc_at == 0)
        faults &= ~(1u << DevsimFaultWrongCrc);
    if (kind != DevsimKindVerify)
        faults &= ~(1u << DevsimFaultEarlyResetAck);
    for (int f = 0; f < DEVSIM_FAULT_COUNT; f++)
        if (has_fault(faults, f))
            dev->counters.faults[f]++;
    return faults;
}

// The faults that change the frame's n bytes: a region CRC off by one bit
// (at crc_at), a 5-byte frame instead, a bad frame CRC. Returns the
// frame's length now.
int32_t damage_frame(unsigned char *frame, int32_t n, uint32_t faults, uint32_t crc_at)
{
    if (has_fault(faults, DevsimFaultWrongCrc)) {
        frame[crc_at + 1] ^= 0x01;
        seal(frame, n);
    }
    if (has_fault(faults, DevsimFaultShort)) {
        n = 5;
        seal(frame, n);
    }
    if (has_fault(faults, DevsimFaultCorrupt))
        frame[n - 2] ^= 0xFF;
    return n;
}

// The time a block request takes the device before its ack: the
// programming time, and the erase before the block of erase_block.
uint32_t block_time_ms(const Devsim *dev)
{
    const DevsimConfig *cfg = &dev->config;
    uint32_t ms = cfg->flash_ms;
    if (cfg->erase_ms > 0 && devsim_device_requests(dev, DevsimKindBlock) == cfg->erase_block)
        ms += cfg->erase_ms;
    return ms;
}

// After the verify reply: a reset ack that nothing asked for, early_ack_ms
// later.
void add_early_reset_ack(Devsim *dev, DevsimReply *out)
{
    unsigned char *ack = out->bytes + out->len;
    ack[0] = UNIT_ADDRESS;
    ack[1] = FRAME_FUNCTION;
    ack[2] = OP_RESET;
    seal(ack, RESET_REQUEST_LEN);
    add_chunk(out, dev->config.early_ack_ms, out->len, RESET_REQUEST_LEN);
    out->len += RESET_REQUEST_LEN;
    dev->resets_ignored = 1;
}

// The reply as it goes on the line: a fault's noise, then the frame's n
// bytes, in chunks with the silence before each: the programming time of a
// block and a late fault's delay before the first, the noise gap between
// noise and frame, a split fault's pause inside the frame; then an early
// reset ack's.
void lay_out(Devsim *dev, int kind, uint32_t faults, const unsigned char *frame, int32_t n,
             DevsimReply *out)
{
    const DevsimConfig *cfg = &dev->config;
    int32_t noise = 0;
    if (has_fault(faults, DevsimFaultNoise)) {
        noise = cfg->noise_bytes;
        if (noise < 1)
            noise = 1;
        if (noise > DEVSIM_MAX_NOISE)
            noise = DEVSIM_MAX_NOISE;
        devsim_fill_noise(dev, out->bytes, noise);
    }
    memcpy(out->bytes + noise, frame, (size_t)n);
    out->len = noise + n;

    uint32_t delay = kind == DevsimKindBlock ? block_time_ms(dev) : 0;
    if (has_fault(faults, DevsimFaultLate))
        delay += cfg->late_ms;
    uint32_t frame_delay = delay;
    if (noise > 0) {
        add_chunk(out, delay, 0, noise);
        frame_delay = cfg->noise_gap_ms;
    }
    if (has_fault(faults, DevsimFaultSplit)) {
        int32_t first = cfg->split_at > 0 ? cfg->split_at : n / 2;
        if (first >= n)
            first = n - 1;
        add_chunk(out, frame_delay, noise, first);
        add_chunk(out, cfg->split_gap_ms, noise + first, n - first);
    } else {
        add_chunk(out, frame_delay, noise, n);
    }
    if (has_fault(faults, DevsimFaultEarlyResetAck))
        add_early_reset_ack(dev, out);
}

} // namespace

void devsim_answer(Devsim *dev, int32_t len, DevsimReply *out)
{
    DevsimCounters *c = &dev->counters;
    unsigned char frame[32];
    int kind = DevsimKindAny;
    uint32_t crc_at = 0;

    c->requests[DevsimKindAny]++;
    int32_t n = carry_out(dev, len, &kind, frame, &crc_at);
    out->kind = (uint8_t)kind;
    // After an early reset ack the device stays in its boot loader and
    // answers no reset request.
    if (kind == DevsimKindReset && dev->resets_ignored) {
        out->ignored = 1;
        return;
    }
    if (n == 0) {
        out->refused = 1;
        c->refused++;
        return;
    }
    c->replies[DevsimKindAny]++;
    c->replies[kind]++;

    uint32_t faults = faults_for(dev, kind, crc_at);
    out->faults = faults;
    if (has_fault(faults, DevsimFaultDrop))
        return;
    n = damage_frame(frame, n, faults, crc_at);
    lay_out(dev, kind, faults, frame, n, out);

    // The device leaves the boot loader only after a clean acknowledgement;
    // after a damaged or missing one it carries on, as if the request had
    // been lost, so the tool's resend is answered.
    // From then on it hears nothing: a second reset request that was
    // already on its way gets no second ack.
    if (kind == DevsimKindReset && faults == 0) {
        out->reset = 1;
        c->resets++;
        dev->resetting = 1;
    }
}

int devsim_noise(Devsim *dev, int32_t n, DevsimReply *out)
{
    if (n < 1 || n > DEVSIM_MAX_NOISE)
        return -1;
    memset(out, 0, sizeof *out);
    devsim_fill_noise(dev, out->bytes, n);
    out->len = n;
    add_chunk(out, 0, 0, n);
    dev->counters.noise_bursts++;
    return 0;
}

int devsim_read_flash(const Devsim *dev, uint32_t address, uint32_t count, unsigned char *out)
{
    if (!region_in_flash(address, count))
        return -1;
    if (count > 0)
        memcpy(out, dev->flash + (address - DEVSIM_FLASH_BASE), count);
    return 0;
}

uint32_t devsim_programmed_size(const Devsim *dev)
{
    uint64_t app = DEVSIM_APP_BASE - DEVSIM_FLASH_BASE;
    return dev->written_end > app ? (uint32_t)(dev->written_end - app) : 0;
}
