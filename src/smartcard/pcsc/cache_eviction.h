#pragma once
// The card data cache's items go with the context that wrote them: every release that passes
// this layer, a client's own or the context guard's for a connection that has gone, forgets
// them. It sits under the guard, so the contexts the guard releases pass it too.
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/card_cache.h"

namespace kx_agent::smartcard {

class CacheEviction final : public ForwardingPcsc {
public:
    CacheEviction(Pcsc& inner, CardCache& cache) : ForwardingPcsc(inner), cache_(cache) {}

    LONG release_context(SCARDCONTEXT context) override {
        LONG result = inner_.release_context(context);
        cache_.forget_context(context);
        return result;
    }

private:
    CardCache& cache_;
};

}  // namespace kx_agent::smartcard
