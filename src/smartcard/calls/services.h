#pragma once
// What the call handlers work with, handed to each call by whoever relays it: the top of a PC/SC
// stack (smartcard/pcsc/pcsc_stack.h), the card data cache and the transmit counts. The agent has one
// of each for all its connections; a test builds its own over a fake.
#include "smartcard/state/card_cache.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {

struct Services {
    Pcsc& pcsc;
    CardCache& cache;
    TransmitCounts& transmits;
};

}  // namespace kx_agent::smartcard
