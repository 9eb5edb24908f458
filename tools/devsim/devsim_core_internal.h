// What the device's files share among themselves (devsim_core.cpp: the
// framing; devsim_reply.cpp: the requests carried out and their replies;
// devsim_faults.cpp: the fault picks and the seeded generator;
// devsim_devices.cpp: the devices one after another).
// Nothing outside fwu_devsim_core includes it.
#ifndef FWU_DEVSIM_CORE_INTERNAL_H
#define FWU_DEVSIM_CORE_INTERNAL_H

#include <stdint.h>

#include "devsim_core.h"

// Turns the request in rx[0..len) (CRC already checked) into *out, faults
// applied.
void devsim_answer(Devsim *dev, int32_t len, DevsimReply *out);

// Whether item picks ordinal (a DevsimSelPercent item draws from the
// generator).
int devsim_item_selects(Devsim *dev, const DevsimSelectorItem *item, uint32_t ordinal);

// Which faults apply to this reply, as a bit set.
uint32_t devsim_pick_faults(Devsim *dev, int kind);

// n noise bytes from the seeded generator into to, counted.
void devsim_fill_noise(Devsim *dev, unsigned char *to, int32_t n);

// The device dev->device comes onto the line at t_us: in its boot loader,
// hearing from silent_us on, parser and reset state fresh, its counts from
// here, and its flash as it comes from the factory (erased, the preload at
// DEVSIM_APP_BASE).
void devsim_plug_in(Devsim *dev, uint64_t t_us);

// Requests of kind the device on the line has heard (good CRC), resends
// included.
uint32_t devsim_device_requests(const Devsim *dev, int kind);

// 1 once the device on the line has fallen mute (config.mute_after).
int devsim_muted(const Devsim *dev);

#endif
