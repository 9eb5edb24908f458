#include "devsim_options.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char USAGE[] =
    "usage: fwu-devsim [OPTION]...\n"
    "\n"
    "Simulates the device's boot loader at the far end of a serial line, for the\n"
    "fwu update tool: 115200 baud 8E1, unit 4, function 0x2B; program block (0xF5),\n"
    "region CRC (0xF6) and reset (0xF7). Flash is 1 MiB at 0x08000000, erased to\n"
    "0xFF; the 16 KiB below 0x08004000 hold the boot loader and refuse writes.\n"
    "Replies: a block ack is the request's first 9 bytes + CRC (11 bytes); a\n"
    "region CRC reply is the request's first 11 bytes, the region's CRC-16\n"
    "big-endian, and the frame CRC (15 bytes); a reset ack echoes the request.\n"
    "A write into the boot loader or past flash, a region not wholly inside\n"
    "flash, a bad CRC and anything that does not frame get no answer at all.\n"
    "Requests frame by their layout; a silence inside one discards it (--gap-ms).\n"
    "\n"
    "The line:\n"
    "  (default)            create a pseudo-terminal and print the path of its far\n"
    "                       end on the first line of standard output; point the\n"
    "                       tool (or a terminal) at that path\n"
    "  --link PATH          also make the symlink PATH to that path (an existing\n"
    "                       symlink is replaced; removed at exit), e.g. for a Wine\n"
    "                       COM port mapping\n"
    "  --attach DEVICE      use a real serial device instead of a pseudo-terminal\n"
    "                       (set to 115200 8E1 raw, no flow control); its path is\n"
    "                       printed on the first line\n"
    "  --no-pace            move bytes as fast as the terminal does (default: no\n"
    "                       faster than a 115200 8E1 wire, 11 bits a byte, both ways)\n"
    "  --gap-ms N           a silence of more than N ms inside a request discards\n"
    "                       the part received (default 5; 25 with --attach)\n"
    "\n"
    "The device:\n"
    "  --flash-ms N         programming time of a block before its ack (default 0)\n"
    "  --silent-ms N        unpowered for the first N ms: everything received\n"
    "                       before then is ignored (default 0)\n"
    "  --flash-from FILE    at power-up flash holds FILE's bytes from 0x08004000\n"
    "                       on (the rest erased); at most 0xFC000 bytes\n"
    "  --keep-running       the last device's reset (the only one's, by default)\n"
    "                       does not end the simulator: its boot loader starts\n"
    "                       again, flash kept\n"
    "\n"
    "Several devices, one after another (a production bench):\n"
    "  --devices N          play N devices in turn on the line (default 1, at\n"
    "                       most 1000). Device 1 is plugged in at the start. Once\n"
    "                       a device's reset ack has left the line it runs its\n"
    "                       new firmware and answers nothing; --swap-ms later the\n"
    "                       operator has unplugged it and plugged in the next: a\n"
    "                       fresh boot loader with erased flash (--flash-from and\n"
    "                       --silent-ms apply again at each power-up)\n"
    "  --swap-ms N          from a device leaving to the next one's plug-in\n"
    "                       (default 1500)\n"
    "  --stays DEVS         these devices do not start their firmware: after their\n"
    "                       reset ack they go on answering as the boot loader,\n"
    "                       flash kept, for --stay-ms; then they are unplugged and\n"
    "                       the next one comes --swap-ms later. DEVS picks device\n"
    "                       numbers (from 1): N[,N...], N-M, N-, everyN, or all\n"
    "  --stay-ms N          how long such a device answers after its first reset\n"
    "                       (default 3000)\n"
    "  With --devices above 1 the -v lines and the summary name the device, and\n"
    "  --dump FILE must contain %d: each device's flash goes to FILE with its\n"
    "  number for %d, written when it is unplugged (or at the end). Fault\n"
    "  ordinals count over the whole run, not per device.\n"
    "\n"
    "Ending and reporting:\n"
    "  --seconds N          end after N seconds (default: no limit)\n"
    "  The simulator ends with status 0 once the last device has left: its reset\n"
    "  ack has left the line (and the far end has read it, waiting 2 s at most),\n"
    "  or, for one that stays, its stay is over; after --seconds; or on\n"
    "  SIGTERM/SIGINT/SIGHUP; and writes the dump and the summary in every case.\n"
    "  A reset whose ack a fault touched does not reset: the device stays in its\n"
    "  boot loader so that the tool's resend is answered. Bad usage exits with\n"
    "  status 2; a line that cannot be set up, or a dump or summary that cannot\n"
    "  be written, with status 1.\n"
    "  --dump FILE          write flash from 0x08004000 up to the highest byte ever\n"
    "                       written or loaded (neither: an empty file)\n"
    "  --dump-size N        dump exactly N bytes from 0x08004000 instead (at most\n"
    "                       0xFC000; unwritten bytes read 0xFF)\n"
    "  --summary-json FILE  write the summary as one JSON object; its \"devices\"\n"
    "                       array holds each device's own counts and state\n"
    "                       (boot-loader, running, staying, never-plugged)\n"
    "  -v, --verbose        a line per request and reply on standard error\n"
    "  At exit one summary line goes to standard output: requests by kind, blocks\n"
    "  and bytes programmed, block resends, CRC errors, garbage bytes, refusals,\n"
    "  resets, faults applied and bytes on the line each way (with several\n"
    "  devices, after a line of the same counts for each device).\n"
    "\n"
    "Faults (deterministic; each option may be given more than once):\n"
    "  --drop SEL           send no reply (the request is still carried out)\n"
    "  --corrupt SEL        send the reply with a bad CRC\n"
    "  --split SEL          pause inside the reply:\n"
    "    --split-gap-ms N     for N ms (default 40; the tool's reads end after 20)\n"
    "    --split-at N         after N bytes (default: half the reply)\n"
    "  --late SEL           send the reply late (the device answers in order, so\n"
    "                       the replies after it wait behind it):\n"
    "    --late-ms N          by N ms (default 5100, past every timeout of the tool)\n"
    "  --wrong-crc SEL      report a region CRC that is off by one bit (kind\n"
    "                       defaults to verify: region CRCs of any length but 4)\n"
    "  --short SEL          reply with a 5-byte valid frame (header + CRC) instead\n"
    "                       (kind defaults to verify)\n"
    "  --noise SEL          send noise bytes before the reply:\n"
    "    --noise-bytes N      this many (1-256, default 8)\n"
    "    --noise-gap-ms N     then wait N ms before the reply (default 0)\n"
    "  --noise-every-ms N   also send a burst of --noise-bytes noise bytes every\n"
    "                       N ms while the line is idle\n"
    "  --seed N             seed for noise bytes and percentages (default 1)\n"
    "  SIGUSR1 switches every fault off (the device is mended), SIGUSR2 back on.\n"
    "\n"
    "  SEL is [KIND:]ITEM[,ITEM...] and picks replies by their ordinal (from 1)\n"
    "  among replies of KIND: probe (region CRC of 4 bytes), block, verify (other\n"
    "  region CRCs), reset, or any (all replies counted together; the default\n"
    "  except where said). Resends count; dropped replies count. ITEM is N, N-M,\n"
    "  N- (N and later), all, everyN (every Nth), or P% (each with chance P,\n"
    "  drawn from the seeded generator).\n"
    "  Examples:\n"
    "    --drop block:3,7       drop the 3rd and 7th block acks\n"
    "    --corrupt every5       corrupt every 5th reply\n"
    "    --drop 10% --seed 7    drop 10% of the replies\n"
    "    --wrong-crc 1          a wrong CRC for the first verify only\n"
    "\n"
    "  -h, --help           this text\n";

void fail(char *err, size_t capacity, const char *format, ...) __attribute__((format(printf, 3, 4)));

void fail(char *err, size_t capacity, const char *format, ...)
{
    if (!err || capacity == 0)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(err, capacity, format, args);
    va_end(args);
}

// A whole-string unsigned number, decimal or 0x-hex, at most max.
int parse_number(const char *text, uint64_t max, uint64_t *value)
{
    if (!text || !*text || *text == '-' || *text == '+' || *text == ' ')
        return -1;
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (!*text)
            return -1;
    }
    errno = 0;
    char *end = NULL;
    unsigned long long v = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || end == text || v > max)
        return -1;
    *value = v;
    return 0;
}

int parse_u32(const char *text, uint32_t max, uint32_t *value)
{
    uint64_t v = 0;
    if (parse_number(text, max, &v) != 0)
        return -1;
    *value = (uint32_t)v;
    return 0;
}

int kind_by_name(const char *name, size_t len)
{
    for (int k = 0; k < KIND_COUNT; k++) {
        const char *known = devsim_kind_name(k);
        if (strlen(known) == len && strncmp(known, name, len) == 0)
            return k;
    }
    return -1;
}

// One ITEM of a selector, text[0..len).
int parse_item(const char *text, size_t len, SelectorItem *item)
{
    char buf[32];
    if (len == 0 || len >= sizeof buf)
        return -1;
    memcpy(buf, text, len);
    buf[len] = '\0';
    const uint32_t max_ordinal = 0x7FFFFFFF;

    if (strcmp(buf, "all") == 0) {
        item->type = SelAll;
        return 0;
    }
    if (strncmp(buf, "every", 5) == 0) {
        item->type = SelEvery;
        return parse_u32(buf + 5, max_ordinal, &item->a) == 0 && item->a > 0 ? 0 : -1;
    }
    if (buf[len - 1] == '%') {
        buf[len - 1] = '\0';
        item->type = SelPercent;
        return parse_u32(buf, 100, &item->a);
    }
    char *dash = strchr(buf, '-');
    if (!dash) {
        item->type = SelNth;
        return parse_u32(buf, max_ordinal, &item->a) == 0 && item->a > 0 ? 0 : -1;
    }
    *dash = '\0';
    if (parse_u32(buf, max_ordinal, &item->a) != 0 || item->a == 0)
        return -1;
    if (dash[1] == '\0') {
        item->type = SelFrom;
        return 0;
    }
    item->type = SelRange;
    if (parse_u32(dash + 1, max_ordinal, &item->b) != 0 || item->b < item->a)
        return -1;
    return 0;
}

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

} // namespace

int parse_selector(const char *text, int default_kind, FaultRule *rule, char *err,
                   size_t err_capacity)
{
    memset(rule->items, 0, sizeof rule->items);
    rule->count = 0;
    rule->kind = (uint8_t)default_kind;
    if (!text || !*text) {
        fail(err, err_capacity, "empty selector");
        return -1;
    }
    const char *list = text;
    const char *colon = strchr(text, ':');
    if (colon) {
        int kind = kind_by_name(text, (size_t)(colon - text));
        if (kind < 0) {
            fail(err, err_capacity, "unknown kind in '%.64s' (probe, block, verify, reset, any)", text);
            return -1;
        }
        rule->kind = (uint8_t)kind;
        list = colon + 1;
    }
    for (;;) {
        const char *comma = strchr(list, ',');
        size_t len = comma ? (size_t)(comma - list) : strlen(list);
        if (rule->count >= DEVSIM_MAX_ITEMS) {
            fail(err, err_capacity, "more than %d items in '%.64s'", DEVSIM_MAX_ITEMS, text);
            return -1;
        }
        if (parse_item(list, len, &rule->items[rule->count]) != 0) {
            fail(err, err_capacity, "bad item '%.*s' in selector '%.64s'", (int)(len > 32 ? 32 : len),
                 list, text);
            return -1;
        }
        rule->count++;
        if (!comma)
            return 0;
        list = comma + 1;
    }
}

namespace {

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

void print_usage(FILE *to)
{
    fputs(USAGE, to);
}
