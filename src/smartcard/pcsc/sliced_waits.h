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
// across all connections (ConnectionScope::arrive), so the marks are shared by all of them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

// Per context, the arrival of its latest cancel. A mark lives as long as its context: the layer
// forgets it when the context is released through it, and so does whoever releases contexts
// another way (the context guard).
class CancelMarks {
public:
    // The previous mark of `context` (0: none), for `restore`.
    uint64_t mark(SCARDCONTEXT context, uint64_t arrival);
    // Puts back the mark that `mark` replaced, unless a later cancel has marked since.
    void restore(SCARDCONTEXT context, uint64_t arrival, uint64_t previous);
    // Whether a cancel on `context` arrived after `arrival`.
    bool since(SCARDCONTEXT context, uint64_t arrival) const;
    void forget(SCARDCONTEXT context);
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<SCARDCONTEXT, uint64_t> marks_;
};

// The layer of one call. `arrival`: when the call arrived (0: each PC/SC call arrives when it is
// made); `gone`: whether the call's client has gone.
class SlicedWaits final : public ForwardingPcsc {
public:
    SlicedWaits(Pcsc& below, CancelMarks& marks, std::chrono::milliseconds slice, uint64_t arrival,
                std::function<bool()> gone);

    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override;
    LONG cancel(SCARDCONTEXT context) override;
    LONG release_context(SCARDCONTEXT context) override;

    // When the call arrived: as given, or now.
    uint64_t arrival() const;

private:
    CancelMarks& marks_;
    std::chrono::milliseconds slice_;
    uint64_t arrival_;
    std::function<bool()> gone_;
};

}  // namespace kx_agent::smartcard
