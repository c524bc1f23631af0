#pragma once
// What the agent keeps for a context goes with it: every release that passes this layer, a
// client's own or the context guard's for a connection that has gone, forgets the card cache
// items the context wrote and the transmit counts of its card handles (pcsc-lite drops the
// handles with the context). It sits under the guard, so the contexts the guard releases pass it
// too.
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/card_cache.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {

class CacheEviction final : public ForwardingPcsc {
public:
    CacheEviction(Pcsc& inner, CardCache& cache, TransmitCounts& transmits)
        : ForwardingPcsc(inner), cache_(cache), transmits_(transmits) {}

    LONG release_context(SCARDCONTEXT context) override {
        LONG result = inner_.release_context(context);
        cache_.forget_context(context);
        transmits_.forget_context(context);
        return result;
    }

private:
    CardCache& cache_;
    TransmitCounts& transmits_;
};

}  // namespace kx_agent::smartcard
