// The command line's option table: every option, its value's checks, and
// the checks of the options taken together; the --flash-from file and the
// dump paths. The selectors are parsed in devsim_selector.cpp, the usage
// text is in devsim_usage.cpp.
#include "devsim_options.h"

#include <errno.h>
#include <string.h>

#include "devsim_options_internal.h"

namespace {

struct FaultOption {
    const char *name;
    int fault;
    int default_kind;
};

// Options that take a value, besides the fault options.
const char *const VALUED_OPTIONS[] = {
    "--link",         "--attach",     "--dump",        "--summary-json", "--dump-size",
    "--seconds",      "--flash-ms",   "--late-ms",     "--split-gap-ms", "--split-at",
    "--noise-bytes",  "--noise-gap-ms", "--noise-every-ms", "--silent-ms", "--gap-ms",
    "--seed",         "--devices",    "--swap-ms",     "--stays",        "--stay-ms",
    "--flash-from",
};

const FaultOption FAULT_OPTIONS[] = {
    {"--drop", FaultDrop, KindAny},           {"--corrupt", FaultCorrupt, KindAny},
    {"--split", FaultSplit, KindAny},         {"--late", FaultLate, KindAny},
    {"--wrong-crc", FaultWrongCrc, KindVerify}, {"--short", FaultShort, KindVerify},
    {"--noise", FaultNoise, KindAny},
};

// --stays: device numbers as a selector without a kind or percentages.
int parse_stays(const char *text, FaultRule *rule, char *err, size_t err_capacity)
{
    char why[ERROR_TEXT_CAPACITY];
    int bad = strchr(text, ':') != NULL || strchr(text, '%') != NULL;
    if (bad || parse_selector(text, KindAny, rule, why, sizeof why) != 0) {
        fail(err, err_capacity, "--stays: bad device list '%.64s' (N[,N...], N-M, N-, everyN, all)", text);
        return -1;
    }
    return 0;
}

} // namespace

int parse_options(int argc, char **argv, DevsimOptions *o, char *err, size_t err_capacity)
{
    memset(o, 0, sizeof *o);
    devsim_default_config(&o->config);
    o->pace = 1;
    o->dump_size = -1;
    int gap_given = 0;
    DevsimConfig *cfg = &o->config;

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)
            return 1;
        if (strcmp(arg, "--no-pace") == 0) {
            o->pace = 0;
            continue;
        }
        if (strcmp(arg, "--keep-running") == 0) {
            cfg->keep_running = 1;
            continue;
        }
        if (strcmp(arg, "-v") == 0 || strcmp(arg, "--verbose") == 0) {
            o->verbose = 1;
            continue;
        }

        // Everything else takes a value.
        int known = 0;
        for (const char *name : VALUED_OPTIONS)
            known |= strcmp(arg, name) == 0;
        for (const FaultOption &candidate : FAULT_OPTIONS)
            known |= strcmp(arg, candidate.name) == 0;
        if (!known) {
            fail(err, err_capacity, "%.64s: unknown option", arg);
            return -1;
        }
        if (i + 1 >= argc) {
            fail(err, err_capacity, "%.64s needs a value", arg);
            return -1;
        }
        const char *value = argv[++i];
        uint32_t n = 0;
        int bad = 0;
        int handled = 1;

        if (strcmp(arg, "--link") == 0) {
            bad = !*value;
            o->link_path = value;
        } else if (strcmp(arg, "--attach") == 0) {
            bad = !*value;
            o->attach_path = value;
        } else if (strcmp(arg, "--dump") == 0) {
            bad = !*value;
            o->dump_path = value;
        } else if (strcmp(arg, "--summary-json") == 0) {
            bad = !*value;
            o->summary_json = value;
        } else if (strcmp(arg, "--dump-size") == 0) {
            bad = parse_u32(value, FLASH_BASE + FLASH_SIZE - APP_BASE, &n);
            o->dump_size = n;
        } else if (strcmp(arg, "--seconds") == 0) {
            bad = parse_u32(value, 1000000, &o->seconds);
        } else if (strcmp(arg, "--flash-ms") == 0) {
            bad = parse_u32(value, 600000, &cfg->flash_ms);
        } else if (strcmp(arg, "--late-ms") == 0) {
            bad = parse_u32(value, 600000, &cfg->late_ms);
        } else if (strcmp(arg, "--split-gap-ms") == 0) {
            bad = parse_u32(value, 600000, &cfg->split_gap_ms);
        } else if (strcmp(arg, "--split-at") == 0) {
            bad = parse_u32(value, 1024, &n) || n == 0;
            cfg->split_at = (int32_t)n;
        } else if (strcmp(arg, "--noise-bytes") == 0) {
            bad = parse_u32(value, DEVSIM_MAX_NOISE, &n) || n == 0;
            cfg->noise_bytes = (int32_t)n;
        } else if (strcmp(arg, "--noise-gap-ms") == 0) {
            bad = parse_u32(value, 600000, &cfg->noise_gap_ms);
        } else if (strcmp(arg, "--noise-every-ms") == 0) {
            bad = parse_u32(value, 600000, &o->noise_every_ms) || o->noise_every_ms == 0;
        } else if (strcmp(arg, "--silent-ms") == 0) {
            bad = parse_u32(value, 3600000, &n);
            cfg->silent_us = (uint64_t)n * 1000u;
        } else if (strcmp(arg, "--gap-ms") == 0) {
            bad = parse_u32(value, 600000, &n) || n == 0;
            cfg->gap_us = (uint64_t)n * 1000u;
            gap_given = 1;
        } else if (strcmp(arg, "--seed") == 0) {
            uint64_t seed = 0;
            bad = parse_number(value, UINT64_MAX, &seed);
            cfg->seed = seed;
        } else if (strcmp(arg, "--devices") == 0) {
            bad = parse_u32(value, DEVSIM_MAX_DEVICES, &cfg->devices) || cfg->devices == 0;
        } else if (strcmp(arg, "--swap-ms") == 0) {
            bad = parse_u32(value, 3600000, &n);
            cfg->swap_us = (uint64_t)n * 1000u;
        } else if (strcmp(arg, "--stay-ms") == 0) {
            bad = parse_u32(value, 3600000, &n);
            cfg->stay_us = (uint64_t)n * 1000u;
        } else if (strcmp(arg, "--flash-from") == 0) {
            bad = !*value;
            o->flash_from = value;
        } else if (strcmp(arg, "--stays") == 0) {
            if (parse_stays(value, &cfg->stays, err, err_capacity) != 0)
                return -1;
        } else {
            handled = 0;
        }
        if (handled) {
            if (bad) {
                fail(err, err_capacity, "%.64s: bad value '%.64s'", arg, value);
                return -1;
            }
            continue;
        }

        const FaultOption *fo = NULL;
        for (const FaultOption &candidate : FAULT_OPTIONS)
            if (strcmp(arg, candidate.name) == 0)
                fo = &candidate;
        if (!fo) {
            fail(err, err_capacity, "%.64s: unknown option", arg);
            return -1;
        }
        if (cfg->rule_count >= DEVSIM_MAX_RULES) {
            fail(err, err_capacity, "more than %d fault options", DEVSIM_MAX_RULES);
            return -1;
        }
        FaultRule *rule = &cfg->rules[cfg->rule_count];
        rule->fault = (uint8_t)fo->fault;
        char why[ERROR_TEXT_CAPACITY];
        if (parse_selector(value, fo->default_kind, rule, why, sizeof why) != 0) {
            fail(err, err_capacity, "%s: %s", fo->name, why);
            return -1;
        }
        cfg->rule_count++;
    }
    if (o->link_path && o->attach_path) {
        fail(err, err_capacity, "--link and --attach cannot be used together");
        return -1;
    }
    if (!gap_given && o->attach_path)
        cfg->gap_us = (uint64_t)DEFAULT_GAP_MS_ATTACH * 1000u;
    if (cfg->devices > 1 && o->dump_path && !strstr(o->dump_path, "%d")) {
        fail(err, err_capacity, "--dump: with --devices %u the file name needs a %%d for the device number",
             cfg->devices);
        return -1;
    }
    for (int i = 0; i < cfg->stays.count; i++) {
        const SelectorItem *item = &cfg->stays.items[i];
        uint32_t highest = item->type == SelRange ? item->b : item->a;
        if (item->type != SelAll && highest > cfg->devices) {
            fail(err, err_capacity, "--stays: no device %u with --devices %u", highest, cfg->devices);
            return -1;
        }
    }
    return 0;
}

int load_flash_file(const char *path, unsigned char *buf, uint32_t capacity, uint32_t *len, char *err,
                    size_t err_capacity)
{
    *len = 0;
    FILE *f = fopen(path, "rb");
    if (!f) {
        fail(err, err_capacity, "--flash-from %.200s: %s", path, strerror(errno));
        return -1;
    }
    size_t got = fread(buf, 1, capacity, f);
    int failed = ferror(f);
    int more = !failed && got == capacity && fgetc(f) != EOF;
    failed |= ferror(f);
    int saved = errno;
    fclose(f);
    if (failed) {
        fail(err, err_capacity, "--flash-from %.200s: cannot be read: %s", path, strerror(saved));
        return -1;
    }
    if (more) {
        fail(err, err_capacity,
             "--flash-from %.200s: longer than the %u bytes of the application area (0x%08X-0x%08X)",
             path, capacity, (unsigned)APP_BASE, (unsigned)(FLASH_BASE + FLASH_SIZE - 1));
        return -1;
    }
    *len = (uint32_t)got;
    return 0;
}

int dump_path_for(const char *pattern, uint32_t device, char *out, size_t out_capacity)
{
    if (out_capacity == 0)
        return -1;
    char number[16];
    snprintf(number, sizeof number, "%u", device);
    size_t used = 0;
    for (const char *at = pattern; *at; at++) {
        const char *piece = at;
        size_t piece_len = 1;
        if (at[0] == '%' && at[1] == 'd') {
            piece = number;
            piece_len = strlen(number);
            at++;
        }
        if (used + piece_len >= out_capacity) {
            out[0] = '\0';
            return -1;
        }
        memcpy(out + used, piece, piece_len);
        used += piece_len;
    }
    out[used] = '\0';
    return 0;
}
