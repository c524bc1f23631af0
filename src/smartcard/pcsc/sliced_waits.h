#pragma once
// Status-change waits in slices, and the cancel marks that end them.
//
// A relayed wait runs as a series of short PC/SC waits (slices); between two slices the layer
// asks whether the client has gone, so that a wait whose client has gone ends within a slice
// and never holds its thread or its context for ever. The client's time-out keeps its meaning:
// 0 asks once, INFINITE waits without limit.
//
// A cancel ends the waits on its context that arrived before it: the one running (PC/SC ends
// it, or, when the cancel lands between two slices, the mark does) and those still queued behind
// other calls, which are answered SCARD_E_CANCELLED when their turn comes. Arrival is counted
// across all connections (ConnectionScope::arrive), so the marks are shared by all of them; each
// lives in its context's record and goes with it.
#include <chrono>
#include <cstdint>
#include <functional>

#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {
class ContextGuard;
}

namespace kx_agent::smartcard {

// The layer of one call. `marks`: the record that keeps each context's cancel mark
// (smartcard/pcsc/context_guard.h); `arrival`: when the call arrived (0: each PC/SC call arrives
// when it is made); `gone`: whether the call's client has gone.
class SlicedWaits : public ForwardingPcsc {
public:
    SlicedWaits(Pcsc& below, ContextGuard& marks, std::chrono::milliseconds slice, uint64_t arrival,
                std::function<bool()> gone);

    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override;
    LONG cancel(SCARDCONTEXT context) override;

    // When the call arrived: as given, or now.
    uint64_t arrival() const;

private:
    ContextGuard& marks_;
    std::chrono::milliseconds slice_;
    uint64_t arrival_;
    std::function<bool()> gone_;
};

}  // namespace kx_agent::smartcard
