// What fwu-devsim leaves behind when it ends: the flash dump, the summary
// line on standard output, and the JSON summary the tests read.
#include "devsim_report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

// size bytes into path: the first of them from data (have bytes), the rest
// erased flash.
static int write_dump_bytes(const char *path, const unsigned char *data, uint32_t have, uint32_t size)
{
    FILE *f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "fwu-devsim: %s: %s\n", path, strerror(errno));
        return -1;
    }
    uint32_t from_data = have < size ? have : size;
    int rc = 0;
    if (from_data > 0)
        rc = fwrite(data, 1, from_data, f) == from_data ? 0 : -1;
    for (uint32_t i = from_data; i < size && rc == 0; i++)
        rc = fputc(0xFF, f) == EOF ? -1 : 0;
    if (fclose(f) != 0 || rc != 0) {
        fprintf(stderr, "fwu-devsim: writing %s failed\n", path);
        return -1;
    }
    return 0;
}

static uint32_t preloaded_size(const DevsimConfig *config)
{
    if (!config->preload)
        return 0;
    return config->preload_len < (uint32_t)DEVSIM_APP_SIZE ? config->preload_len : (uint32_t)DEVSIM_APP_SIZE;
}

int devsim_write_dump(const Devsim *dev, const char *path, int64_t dump_size)
{
    uint32_t size = devsim_programmed_size(dev);
    if (preloaded_size(&dev->config) > size)
        size = preloaded_size(&dev->config);
    if (dump_size >= 0)
        size = (uint32_t)dump_size;
    return write_dump_bytes(path, dev->flash + (DEVSIM_APP_BASE - DEVSIM_FLASH_BASE), DEVSIM_APP_SIZE, size);
}

int devsim_write_fresh_dump(const DevsimConfig *config, const char *path, int64_t dump_size)
{
    uint32_t have = preloaded_size(config);
    uint32_t size = dump_size >= 0 ? (uint32_t)dump_size : have;
    return write_dump_bytes(path, config->preload, have, size);
}

static const char *exit_reason_name(int reason)
{
    switch (reason) {
    case DevsimExitReset:
        return "reset";
    case DevsimExitSeconds:
        return "seconds";
    case DevsimExitSignal:
        return "signal";
    case DevsimExitLineLost:
        return "line-lost";
    default:
        return "running";
    }
}

static uint32_t faults_applied(const DevsimCounters *c)
{
    uint32_t total = 0;
    for (int f = 0; f < DEVSIM_FAULT_COUNT; f++)
        total += c->faults[f];
    return total;
}

static void print_counters(const DevsimCounters *c)
{
    printf("requests %u (probe %u, block %u, verify %u, reset %u); "
           "blocks %u, bytes %llu, resends %u; crc-errors %u, garbage %llu, refused %u; "
           "resets %u; faults %u",
           c->requests[DevsimKindAny], c->requests[DevsimKindProbe], c->requests[DevsimKindBlock],
           c->requests[DevsimKindVerify], c->requests[DevsimKindReset], c->blocks_programmed,
           (unsigned long long)c->bytes_programmed, c->block_resends, c->crc_errors,
           (unsigned long long)c->garbage_bytes, c->refused, c->resets, faults_applied(c));
}

void devsim_print_summary(const Devsim *dev, const DevsimEnd *end)
{
    for (uint32_t k = 1; dev->config.devices > 1 && k <= dev->config.devices; k++) {
        DevsimDeviceResult r;
        devsim_device_result(dev, k, &r);
        printf("fwu-devsim: device %u (%s); ", k, devsim_phase_name(r.phase));
        print_counters(&r.counters);
        printf("\n");
    }
    printf("fwu-devsim: end %s; ", exit_reason_name(end->reason));
    print_counters(&dev->counters);
    printf("; rx %llu, tx %llu\n", (unsigned long long)end->rx_bytes, (unsigned long long)end->tx_bytes);
    fflush(stdout);
}

static void write_kinds(FILE *f, const char *name, const uint32_t *by_kind)
{
    fprintf(f, "\"%s\":{", name);
    for (int k = 0; k < DEVSIM_KIND_COUNT; k++)
        fprintf(f, "%s\"%s\":%u", k ? "," : "", k ? devsim_kind_name(k) : "all", by_kind[k]);
    fputs("},", f);
}

// The counters' fields from "requests" to "noise_bytes", the one set of
// names the totals and every device share.
static void write_counters(FILE *f, const DevsimCounters *c, uint32_t programmed_size)
{
    write_kinds(f, "requests", c->requests);
    write_kinds(f, "replies", c->replies);
    fputs("\"faults\":{", f);
    for (int i = 0; i < DEVSIM_FAULT_COUNT; i++)
        fprintf(f, "%s\"%s\":%u", i ? "," : "", devsim_fault_name(i), c->faults[i]);
    fputs("},", f);
    fprintf(f,
            "\"blocks_programmed\":%u,\"bytes_programmed\":%llu,\"programmed_size\":%u,"
            "\"block_resends\":%u,\"crc_errors\":%u,\"gap_discards\":%u,\"garbage_bytes\":%llu,"
            "\"ignored_bytes\":%llu,\"refused\":%u,\"resets\":%u,\"noise_bursts\":%u,"
            "\"noise_bytes\":%llu",
            c->blocks_programmed, (unsigned long long)c->bytes_programmed, programmed_size,
            c->block_resends, c->crc_errors, c->gap_discards, (unsigned long long)c->garbage_bytes,
            (unsigned long long)c->ignored_bytes, c->refused, c->resets, c->noise_bursts,
            (unsigned long long)c->noise_bytes);
}

int devsim_write_summary_json(const Devsim *dev, const DevsimEnd *end, const char *path)
{
    FILE *f = fopen(path, "w");
    if (!f) {
        fprintf(stderr, "fwu-devsim: %s: %s\n", path, strerror(errno));
        return -1;
    }
    fprintf(f, "{\"end\":\"%s\",", exit_reason_name(end->reason));
    write_counters(f, &dev->counters, devsim_programmed_size(dev));
    fprintf(f, ",\"reply_overflows\":%u,\"rx_bytes\":%llu,\"tx_bytes\":%llu,\"elapsed_ms\":%llu,",
            end->reply_overflows, (unsigned long long)end->rx_bytes, (unsigned long long)end->tx_bytes,
            (unsigned long long)end->elapsed_ms);
    // Every device, those never plugged in too, each with its own counts.
    fputs("\"devices\":[", f);
    for (uint32_t k = 1; k <= dev->config.devices; k++) {
        DevsimDeviceResult r;
        devsim_device_result(dev, k, &r);
        fprintf(f, "%s{\"device\":%u,\"state\":\"%s\",", k > 1 ? "," : "", k, devsim_phase_name(r.phase));
        write_counters(f, &r.counters, r.programmed_size);
        fputc('}', f);
    }
    fputs("]}\n", f);
    // A write that failed on the way (a full disk) leaves the stream's error
    // set even when the last flush, in fclose, goes through.
    int failed = ferror(f);
    if (fclose(f) != 0 || failed)
        return -1;
    return 0;
}
