// The command line's option table: every option, its value's checks, and
// the checks of the options taken together; the --flash-from file and the
// dump paths. The selectors are parsed in devsim_selector.cpp, the usage
// text is in devsim_usage.cpp.
#include "devsim_options.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "devsim_options_internal.h"

namespace {

// How an option's value is read, and so the type of the field it goes to.
enum Take {
    TakeHelp,     // no value: the parsing ends, the usage is asked for
    TakeVersion,  // no value: the parsing ends, the version is asked for
    TakeSwitch,   // no value: the int field is set to the row's max
    TakeText,     // a text that is not empty (const char *)
    TakeU32,      // a number up to max (uint32_t)
    TakeI32,      // a number up to max (int32_t)
    TakeU64,      // a number up to max (uint64_t)
    TakeSize,     // a number up to max (int64_t, whose -1 says "not given")
    TakeMsAsUs,   // milliseconds up to max, held in microseconds (uint64_t)
    TakeFault,    // a selector: one more rule of the row's fault
    TakeStays     // device numbers: a selector without a kind or percentages
};

struct OptionRow {
    const char *name;
    const char *alias;  // another spelling, or NULL
    Take take;
    size_t field;       // where the value goes in DevsimOptions (a fault: its rules)
    uint64_t max;       // the highest value (a switch: the value it sets)
    int nonzero;        // 1: a value of 0 is refused
    int fault;          // TakeFault: the DevsimFault of its rules
    int default_kind;   // TakeFault: the DevsimKind when the selector names none
};

#define FIELD(name) offsetof(DevsimOptions, name)
const uint32_t MS_LIMIT = 600000;  // ten minutes: the longest wait or silence a reply may ask for
const uint32_t HOUR_MS = 3600000;  // an hour: the longest power-up silence, swap or stay

const OptionRow OPTIONS[] = {
    {"-h", "--help", TakeHelp, 0, 0, 0, 0, 0},
    {"--version", NULL, TakeVersion, 0, 0, 0, 0, 0},
    {"-v", "--verbose", TakeSwitch, FIELD(verbose), 1, 0, 0, 0},
    {"--no-pace", NULL, TakeSwitch, FIELD(pace), 0, 0, 0, 0},
    {"--keep-running", NULL, TakeSwitch, FIELD(config.keep_running), 1, 0, 0, 0},
    // The line.
    {"--link", NULL, TakeText, FIELD(link_path), 0, 0, 0, 0},
    {"--attach", NULL, TakeText, FIELD(attach_path), 0, 0, 0, 0},
    {"--gap-ms", NULL, TakeMsAsUs, FIELD(config.gap_us), MS_LIMIT, 1, 0, 0},
    // The device.
    {"--flash-ms", NULL, TakeU32, FIELD(config.flash_ms), MS_LIMIT, 0, 0, 0},
    {"--erase-ms", NULL, TakeU32, FIELD(config.erase_ms), MS_LIMIT, 0, 0, 0},
    {"--erase-block", NULL, TakeU32, FIELD(config.erase_block), DEVSIM_APP_SIZE / DEVSIM_MAX_BLOCK, 1, 0, 0},
    {"--mute-after", NULL, TakeU32, FIELD(config.mute_after), UINT32_MAX, 1, 0, 0},
    {"--silent-ms", NULL, TakeMsAsUs, FIELD(config.silent_us), HOUR_MS, 0, 0, 0},
    {"--flash-from", NULL, TakeText, FIELD(flash_from), 0, 0, 0, 0},
    // Several devices.
    {"--devices", NULL, TakeU32, FIELD(config.devices), DEVSIM_MAX_DEVICES, 1, 0, 0},
    {"--swap-ms", NULL, TakeMsAsUs, FIELD(config.swap_us), HOUR_MS, 0, 0, 0},
    {"--stays", NULL, TakeStays, FIELD(config.stays), 0, 0, 0, 0},
    {"--stay-ms", NULL, TakeMsAsUs, FIELD(config.stay_us), HOUR_MS, 0, 0, 0},
    // Ending and reporting.
    {"--seconds", NULL, TakeU32, FIELD(seconds), 1000000, 0, 0, 0},
    {"--dump", NULL, TakeText, FIELD(dump_path), 0, 0, 0, 0},
    {"--dump-size", NULL, TakeSize, FIELD(dump_size), DEVSIM_APP_SIZE, 0, 0, 0},
    {"--summary-json", NULL, TakeText, FIELD(summary_json), 0, 0, 0, 0},
    // Faults, and what shapes them.
    {"--drop", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultDrop, DevsimKindAny},
    {"--corrupt", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultCorrupt, DevsimKindAny},
    {"--split", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultSplit, DevsimKindAny},
    {"--split-gap-ms", NULL, TakeU32, FIELD(config.split_gap_ms), MS_LIMIT, 0, 0, 0},
    {"--split-at", NULL, TakeI32, FIELD(config.split_at), DEVSIM_MAX_BLOCK, 1, 0, 0},
    {"--late", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultLate, DevsimKindAny},
    {"--late-ms", NULL, TakeU32, FIELD(config.late_ms), MS_LIMIT, 0, 0, 0},
    {"--wrong-crc", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultWrongCrc, DevsimKindVerify},
    {"--short", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultShort, DevsimKindVerify},
    {"--noise", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultNoise, DevsimKindAny},
    {"--noise-bytes", NULL, TakeI32, FIELD(config.noise_bytes), DEVSIM_MAX_NOISE, 1, 0, 0},
    {"--noise-gap-ms", NULL, TakeU32, FIELD(config.noise_gap_ms), MS_LIMIT, 0, 0, 0},
    {"--noise-every-ms", NULL, TakeU32, FIELD(noise_every_ms), MS_LIMIT, 1, 0, 0},
    {"--early-reset-ack", NULL, TakeFault, FIELD(config.rules), 0, 0, DevsimFaultEarlyResetAck,
     DevsimKindVerify},
    {"--early-ack-ms", NULL, TakeU32, FIELD(config.early_ack_ms), MS_LIMIT, 0, 0, 0},
    {"--seed", NULL, TakeU64, FIELD(config.seed), UINT64_MAX, 0, 0, 0},
};

const OptionRow *find_option(const char *arg)
{
    for (const OptionRow &row : OPTIONS)
        if (strcmp(arg, row.name) == 0 || (row.alias && strcmp(arg, row.alias) == 0))
            return &row;
    return NULL;
}

// --stays: device numbers as a selector without a kind or percentages.
int parse_stays(const char *text, DevsimFaultRule *rule, char *err, size_t err_capacity)
{
    char why[DEVSIM_ERROR_CAPACITY];
    int bad = strchr(text, ':') != NULL || strchr(text, '%') != NULL;
    if (bad || devsim_parse_selector(text, DevsimKindAny, rule, why, sizeof why) != 0) {
        devsim_fail(err, err_capacity, "--stays: bad device list '%.64s' (N[,N...], N-M, N-, everyN, all)",
                    text);
        return -1;
    }
    return 0;
}

// One more rule of row's fault, its replies picked by the selector text.
int add_fault_rule(DevsimConfig *cfg, const OptionRow *row, const char *text, char *err,
                   size_t err_capacity)
{
    if (cfg->rule_count >= DEVSIM_MAX_RULES) {
        devsim_fail(err, err_capacity, "more than %d fault options", DEVSIM_MAX_RULES);
        return -1;
    }
    DevsimFaultRule *rule = &cfg->rules[cfg->rule_count];
    rule->fault = (uint8_t)row->fault;
    char why[DEVSIM_ERROR_CAPACITY];
    if (devsim_parse_selector(text, row->default_kind, rule, why, sizeof why) != 0) {
        devsim_fail(err, err_capacity, "%s: %s", row->name, why);
        return -1;
    }
    cfg->rule_count++;
    return 0;
}

// The value of the option named arg into its field. 0, or -1 with the
// reason in err.
int take_value(DevsimOptions *o, const OptionRow *row, const char *arg, const char *value, char *err,
               size_t err_capacity)
{
    char *field = reinterpret_cast<char *>(o) + row->field;
    if (row->take == TakeFault)
        return add_fault_rule(&o->config, row, value, err, err_capacity);
    if (row->take == TakeStays)
        return parse_stays(value, reinterpret_cast<DevsimFaultRule *>(field), err, err_capacity);
    uint64_t n = 0;
    int bad = row->take == TakeText ? !*value : devsim_parse_number(value, row->max, &n) != 0;
    if (bad || (row->nonzero && n == 0)) {
        devsim_fail(err, err_capacity, "%.64s: bad value '%.64s'", arg, value);
        return -1;
    }
    switch (row->take) {
    case TakeText:
        *reinterpret_cast<const char **>(field) = value;
        break;
    case TakeU32:
        *reinterpret_cast<uint32_t *>(field) = (uint32_t)n;
        break;
    case TakeI32:
        *reinterpret_cast<int32_t *>(field) = (int32_t)n;
        break;
    case TakeU64:
        *reinterpret_cast<uint64_t *>(field) = n;
        break;
    case TakeSize:
        *reinterpret_cast<int64_t *>(field) = (int64_t)n;
        break;
    case TakeMsAsUs:
        *reinterpret_cast<uint64_t *>(field) = n * 1000u;
        break;
    default:
        break;
    }
    return 0;
}

// What the options say taken together. 0, or -1 with the reason in err.
int check_together(DevsimOptions *o, int gap_given, char *err, size_t err_capacity)
{
    DevsimConfig *cfg = &o->config;
    if (o->link_path && o->attach_path) {
        devsim_fail(err, err_capacity, "--link and --attach cannot be used together");
        return -1;
    }
    if (!gap_given && o->attach_path)
        cfg->gap_us = (uint64_t)DEVSIM_ATTACH_GAP_MS * 1000u;
    if (cfg->devices > 1 && o->dump_path && !strstr(o->dump_path, "%d")) {
        devsim_fail(err, err_capacity,
                    "--dump: with --devices %u the file name needs a %%d for the device number", cfg->devices);
        return -1;
    }
    for (int i = 0; i < cfg->stays.count; i++) {
        const DevsimSelectorItem *item = &cfg->stays.items[i];
        uint32_t highest = item->type == DevsimSelRange ? item->b : item->a;
        if (item->type != DevsimSelAll && highest > cfg->devices) {
            devsim_fail(err, err_capacity, "--stays: no device %u with --devices %u", highest, cfg->devices);
            return -1;
        }
    }
    return 0;
}

} // namespace

DevsimParse devsim_parse_options(int argc, char **argv, DevsimOptions *o, char *err, size_t err_capacity)
{
    memset(o, 0, sizeof *o);
    devsim_default_config(&o->config);
    o->pace = 1;
    o->dump_size = -1;
    int gap_given = 0;

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const OptionRow *row = find_option(arg);
        if (!row) {
            devsim_fail(err, err_capacity, "%.64s: unknown option", arg);
            return DevsimParseBad;
        }
        if (row->take == TakeHelp)
            return DevsimParseHelp;
        if (row->take == TakeVersion)
            return DevsimParseVersion;
        if (row->take == TakeSwitch) {
            *reinterpret_cast<int *>(reinterpret_cast<char *>(o) + row->field) = (int)row->max;
            continue;
        }
        if (i + 1 >= argc) {
            devsim_fail(err, err_capacity, "%.64s needs a value", arg);
            return DevsimParseBad;
        }
        if (take_value(o, row, arg, argv[++i], err, err_capacity) != 0)
            return DevsimParseBad;
        gap_given |= row->field == FIELD(config.gap_us);
    }
    return check_together(o, gap_given, err, err_capacity) == 0 ? DevsimParseRun : DevsimParseBad;
}

int devsim_load_flash_file(const char *path, unsigned char *buf, uint32_t capacity, uint32_t *len, char *err,
                    size_t err_capacity)
{
    *len = 0;
    FILE *f = fopen(path, "rb");
    if (!f) {
        devsim_fail(err, err_capacity, "--flash-from %.200s: %s", path, strerror(errno));
        return -1;
    }
    size_t got = fread(buf, 1, capacity, f);
    int failed = ferror(f);
    int more = !failed && got == capacity && fgetc(f) != EOF;
    failed |= ferror(f);
    int saved = errno;
    fclose(f);
    if (failed) {
        devsim_fail(err, err_capacity, "--flash-from %.200s: cannot be read: %s", path, strerror(saved));
        return -1;
    }
    if (more) {
        devsim_fail(err, err_capacity,
             "--flash-from %.200s: longer than the %u bytes of the application area (0x%08X-0x%08X)",
             path, capacity, (unsigned)DEVSIM_APP_BASE, (unsigned)(DEVSIM_FLASH_BASE + DEVSIM_FLASH_SIZE - 1));
        return -1;
    }
    *len = (uint32_t)got;
    return 0;
}

int devsim_dump_path_for(const char *pattern, uint32_t device, char *out, size_t out_capacity)
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
