// The fault picks: which rules a reply's ordinal (or a percent draw)
// selects, and the seeded generator behind percentages and noise bytes.
#include "devsim_core_internal.h"

namespace {

// splitmix64: small, good enough for picking replies and noise, and the same
// sequence for the same seed everywhere.
uint64_t next_random(Devsim *dev)
{
    dev->rng += 0x9E3779B97F4A7C15ull;
    uint64_t z = dev->rng;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Whether rule picks this reply. Every item is looked at, so each percent
// item draws once per reply of its kind and the draws stay in step for a seed.
int rule_selects(Devsim *dev, const DevsimFaultRule *rule, int kind)
{
    if (rule->kind != DevsimKindAny && rule->kind != kind)
        return 0;
    uint32_t ordinal = dev->counters.replies[rule->kind == DevsimKindAny ? DevsimKindAny : kind];
    int hit = 0;
    for (int i = 0; i < rule->count && i < DEVSIM_MAX_ITEMS; i++)
        hit |= devsim_item_selects(dev, &rule->items[i], ordinal);
    return hit;
}

} // namespace

int devsim_item_selects(Devsim *dev, const DevsimSelectorItem *item, uint32_t ordinal)
{
    switch (item->type) {
    case DevsimSelNth:
        return ordinal == item->a;
    case DevsimSelRange:
        return ordinal >= item->a && ordinal <= item->b;
    case DevsimSelFrom:
        return ordinal >= item->a;
    case DevsimSelAll:
        return 1;
    case DevsimSelEvery:
        return item->a > 0 && ordinal % item->a == 0;
    case DevsimSelPercent:
        return next_random(dev) % 100 < item->a;
    default:
        return 0;
    }
}

uint32_t devsim_pick_faults(Devsim *dev, int kind)
{
    uint32_t picked = 0;
    if (!dev->faults_on)
        return 0;
    for (int i = 0; i < dev->config.rule_count && i < DEVSIM_MAX_RULES; i++) {
        const DevsimFaultRule *rule = &dev->config.rules[i];
        if (rule->fault < DEVSIM_FAULT_COUNT && rule_selects(dev, rule, kind))
            picked |= 1u << rule->fault;
    }
    return picked;
}

void devsim_fill_noise(Devsim *dev, unsigned char *to, int32_t n)
{
    for (int32_t i = 0; i < n; i++)
        to[i] = (unsigned char)(next_random(dev) >> 32);
    dev->counters.noise_bytes += (uint64_t)n;
}
