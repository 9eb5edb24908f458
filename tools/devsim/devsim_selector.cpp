// The selectors of the fault options and --stays, "[KIND:]ITEM[,ITEM...]",
// and the numbers in every option's value.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "devsim_options.h"
#include "devsim_options_internal.h"

void devsim_fail(char *err, size_t capacity, const char *format, ...)
{
    if (!err || capacity == 0)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(err, capacity, format, args);
    va_end(args);
}

int devsim_parse_number(const char *text, uint64_t max, uint64_t *value)
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

int devsim_parse_u32(const char *text, uint32_t max, uint32_t *value)
{
    uint64_t v = 0;
    if (devsim_parse_number(text, max, &v) != 0)
        return -1;
    *value = (uint32_t)v;
    return 0;
}

namespace {

int kind_by_name(const char *name, size_t len)
{
    for (int k = 0; k < DEVSIM_KIND_COUNT; k++) {
        const char *known = devsim_kind_name(k);
        if (strlen(known) == len && strncmp(known, name, len) == 0)
            return k;
    }
    return -1;
}

// One ITEM of a selector, text[0..len).
int parse_item(const char *text, size_t len, DevsimSelectorItem *item)
{
    char buf[32];
    if (len == 0 || len >= sizeof buf)
        return -1;
    memcpy(buf, text, len);
    buf[len] = '\0';
    const uint32_t max_ordinal = 0x7FFFFFFF;

    if (strcmp(buf, "all") == 0) {
        item->type = DevsimSelAll;
        return 0;
    }
    if (strncmp(buf, "every", 5) == 0) {
        item->type = DevsimSelEvery;
        return devsim_parse_u32(buf + 5, max_ordinal, &item->a) == 0 && item->a > 0 ? 0 : -1;
    }
    if (buf[len - 1] == '%') {
        buf[len - 1] = '\0';
        item->type = DevsimSelPercent;
        return devsim_parse_u32(buf, 100, &item->a);
    }
    char *dash = strchr(buf, '-');
    if (!dash) {
        item->type = DevsimSelNth;
        return devsim_parse_u32(buf, max_ordinal, &item->a) == 0 && item->a > 0 ? 0 : -1;
    }
    *dash = '\0';
    if (devsim_parse_u32(buf, max_ordinal, &item->a) != 0 || item->a == 0)
        return -1;
    if (dash[1] == '\0') {
        item->type = DevsimSelFrom;
        return 0;
    }
    item->type = DevsimSelRange;
    if (devsim_parse_u32(dash + 1, max_ordinal, &item->b) != 0 || item->b < item->a)
        return -1;
    return 0;
}

} // namespace

int devsim_parse_selector(const char *text, int default_kind, DevsimFaultRule *rule, char *err,
                   size_t err_capacity)
{
    memset(rule->items, 0, sizeof rule->items);
    rule->count = 0;
    rule->kind = (uint8_t)default_kind;
    if (!text || !*text) {
        devsim_fail(err, err_capacity, "empty selector");
        return -1;
    }
    const char *list = text;
    const char *colon = strchr(text, ':');
    if (colon) {
        int kind = kind_by_name(text, (size_t)(colon - text));
        if (kind < 0) {
            devsim_fail(err, err_capacity, "unknown kind in '%.64s' (probe, block, verify, reset, any)", text);
            return -1;
        }
        rule->kind = (uint8_t)kind;
        list = colon + 1;
    }
    for (;;) {
        const char *comma = strchr(list, ',');
        size_t len = comma ? (size_t)(comma - list) : strlen(list);
        if (rule->count >= DEVSIM_MAX_ITEMS) {
            devsim_fail(err, err_capacity, "more than %d items in '%.64s'", DEVSIM_MAX_ITEMS, text);
            return -1;
        }
        if (parse_item(list, len, &rule->items[rule->count]) != 0) {
            devsim_fail(err, err_capacity, "bad item '%.*s' in selector '%.64s'", (int)(len > 32 ? 32 : len),
                 list, text);
            return -1;
        }
        rule->count++;
        if (!comma)
            return 0;
        list = comma + 1;
    }
}
