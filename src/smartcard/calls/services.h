#pragma once
// What the call handlers work with, handed to each call by whoever relays it: the top of a PC/SC
// stack (smartcard/pcsc/pcsc_stack.h), the card data cache, the transmit counts and the record
// of contexts under the stack, which knows each card handle's context. The agent has one of each
// for all its connections; a test builds its own over a fake.
#include "smartcard/state/card_cache.h"
#include "smartcard/pcsc/context_guard.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {

struct Services {
    Pcsc& pcsc;
    CardCache& cache;
    TransmitCounts& transmits;
    const ContextGuard& record;
};

}  // namespace kx_agent::smartcard
