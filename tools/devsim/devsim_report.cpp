// What fwu-devsim leaves behind when it ends: the flash dump, the summary
// line on standard output, and the JSON summary the tests read.
#include "devsim_report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

int devsim_write_dump(const Devsim *dev, const char *path, int64_t dump_size)
{
    uint32_t size = dump_size >= 0 ? (uint32_t)dump_size : devsim_programmed_size(dev);
    FILE *f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "fwu-devsim: %s: %s\n", path, strerror(errno));
        return -1;
    }
    int rc = 0;
    if (size > 0) {
        const unsigned char *at = dev->flash + (APP_BASE - FLASH_BASE);
        rc = fwrite(at, 1, size, f) == size ? 0 : -1;
    }
    if (fclose(f) != 0 || rc != 0) {
        fprintf(stderr, "fwu-devsim: writing %s failed\n", path);
        return -1;
    }
    return 0;
}

static const char *exit_reason_name(int reason)
{
    switch (reason) {
    case ExitReset:
        return "reset";
    case ExitSeconds:
        return "seconds";
    case ExitSignal:
        return "signal";
    case ExitLineLost:
        return "line-lost";
    default:
        return "running";
    }
}

static uint32_t faults_applied(const DevsimCounters *c)
{
    uint32_t total = 0;
    for (int f = 0; f < FAULT_COUNT; f++)
        total += c->faults[f];
    return total;
}

void devsim_print_summary(const Devsim *dev, const DevsimEnd *end)
{
    const DevsimCounters *c = &dev->counters;
    printf("fwu-devsim: end %s; requests %u (probe %u, block %u, verify %u, reset %u); "
           "blocks %u, bytes %llu, resends %u; crc-errors %u, garbage %llu, refused %u; "
           "resets %u; faults %u; rx %llu, tx %llu\n",
           exit_reason_name(end->reason), c->requests[KindAny], c->requests[KindProbe],
           c->requests[KindBlock], c->requests[KindVerify], c->requests[KindReset],
           c->blocks_programmed, (unsigned long long)c->bytes_programmed, c->block_resends,
           c->crc_errors, (unsigned long long)c->garbage_bytes, c->refused, c->resets,
           faults_applied(c), (unsigned long long)end->rx_bytes, (unsigned long long)end->tx_bytes);
    fflush(stdout);
}

static void write_kinds(FILE *f, const char *name, const uint32_t *by_kind)
{
    fprintf(f, "\"%s\":{", name);
    for (int k = 0; k < KIND_COUNT; k++)
        fprintf(f, "%s\"%s\":%u", k ? "," : "", k ? devsim_kind_name(k) : "all", by_kind[k]);
    fputs("},", f);
}

int devsim_write_summary_json(const Devsim *dev, const DevsimEnd *end, const char *path)
{
    const DevsimCounters *c = &dev->counters;
    FILE *f = fopen(path, "w");
    if (!f) {
        fprintf(stderr, "fwu-devsim: %s: %s\n", path, strerror(errno));
        return -1;
    }
    fprintf(f, "{\"end\":\"%s\",", exit_reason_name(end->reason));
    write_kinds(f, "requests", c->requests);
    write_kinds(f, "replies", c->replies);
    fputs("\"faults\":{", f);
    for (int i = 0; i < FAULT_COUNT; i++)
        fprintf(f, "%s\"%s\":%u", i ? "," : "", devsim_fault_name(i), c->faults[i]);
    fputs("},", f);
    fprintf(f,
            "\"blocks_programmed\":%u,\"bytes_programmed\":%llu,\"programmed_size\":%u,"
            "\"block_resends\":%u,\"crc_errors\":%u,\"gap_discards\":%u,\"garbage_bytes\":%llu,"
            "\"ignored_bytes\":%llu,\"refused\":%u,\"resets\":%u,\"noise_bursts\":%u,"
            "\"noise_bytes\":%llu,\"reply_overflows\":%u,\"rx_bytes\":%llu,\"tx_bytes\":%llu,"
            "\"elapsed_ms\":%llu}\n",
            c->blocks_programmed, (unsigned long long)c->bytes_programmed,
            devsim_programmed_size(dev), c->block_resends, c->crc_errors, c->gap_discards,
            (unsigned long long)c->garbage_bytes, (unsigned long long)c->ignored_bytes, c->refused,
            c->resets, c->noise_bursts, (unsigned long long)c->noise_bytes, end->reply_overflows,
            (unsigned long long)end->rx_bytes, (unsigned long long)end->tx_bytes,
            (unsigned long long)end->elapsed_ms);
    if (fclose(f) != 0)
        return -1;
    return 0;
}
