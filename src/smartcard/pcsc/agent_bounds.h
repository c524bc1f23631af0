#pragma once
// Bounds on what all the agent's connections together hold in the PC/SC service.
//
// pcscd serves a fixed number of contexts for the whole machine (200 in pcsc-lite), and a fixed
// number of card handles on a reader, past which every program's Connect to that reader fails.
// The bound per connection does not keep a page that opens several connections from taking all
// of them; this layer bounds the agent as a whole, so that the service always has room left for
// the other programs of the computer:
//
// - at most limits().contexts contexts established through the agent and not yet released;
// - at most limits().cards_per_context card handles connected on one context, and
//   limits().cards in all.
//
// An EstablishContext or Connect beyond a bound is answered SCARD_E_NO_MEMORY without reaching
// the service. The layer sits under the context guard, so the contexts that the guard releases
// for a closed connection go through it and are counted out too.
#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

class AgentBounds final : public ForwardingPcsc {
public:
    explicit AgentBounds(Pcsc& inner) : ForwardingPcsc(inner) {}

    // Contexts and card handles held through the layer now (calls under way included).
    std::size_t contexts() const;
    std::size_t cards() const;

    LONG establish_context(DWORD scope, SCARDCONTEXT* context) override;
    LONG release_context(SCARDCONTEXT context) override;
    LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override;

private:
    // Under the lock: forgets the card handle, and its place on its context.
    void forget_card_locked(SCARDHANDLE card);
    // Under the lock: forgets the context and the card handles connected on it.
    void forget_context_locked(SCARDCONTEXT context);
    // Under the lock: says once that a bound was reached (and again after it was left).
    void say_bound_locked(bool reached, bool& said, const char* what, std::size_t bound);
    // Under the lock, after a release or disconnect: says when a bound said is left.
    void say_left_locked();

    mutable std::mutex mutex_;  // never held while the service runs
    // Context -> card handles on it, connects under way included.
    std::unordered_map<SCARDCONTEXT, std::size_t> contexts_;
    std::unordered_map<SCARDHANDLE, SCARDCONTEXT> cards_;
    std::size_t establishing_ = 0;  // establishes under way
    std::size_t connecting_ = 0;    // connects under way
    bool said_contexts_ = false;
    bool said_cards_ = false;
};

}  // namespace kx_agent::smartcard
