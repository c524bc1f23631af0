#include "smartcard/pcsc/sliced_waits.h"

#include <algorithm>
#include <utility>

#include "smartcard/pcsc/connection_scope.h"
#include "smartcard/pcsc/context_guard.h"

namespace kx_agent::smartcard {

SlicedWaits::SlicedWaits(Pcsc& below, ContextGuard& marks, std::chrono::milliseconds slice,
                         uint64_t arrival, std::function<bool()> gone)
    : ForwardingPcsc(below),
      marks_(marks),
      slice_(slice),
      arrival_(arrival),
      gone_(std::move(gone)) {}

uint64_t SlicedWaits::arrival() const {
    return arrival_ != 0 ? arrival_ : ConnectionScope::arrive();
}

LONG SlicedWaits::cancel(SCARDCONTEXT context) {
    // Marked before PC/SC is told: a wait that starts in between sees the mark. The mark stays
    // whatever PC/SC answers: pcscd refuses (SCARD_E_INVALID_HANDLE) a cancel that finds no
    // wait registered, as between two slices, and the wait then ends on the mark alone. Only a
    // context the record holds is marked, so made-up contexts add nothing.
    marks_.mark(context, arrival());
    return inner_.cancel(context);
}

LONG SlicedWaits::get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                                    DWORD count) {
    // A cancel that came after this wait did, while it was queued behind other calls.
    const uint64_t arrival = this->arrival();
    if (marks_.cancelled_since(context, arrival)) return SCARD_E_CANCELLED;
    if (timeout == 0) return inner_.get_status_change(context, timeout, states, count);

    using clock = std::chrono::steady_clock;
    const bool forever = timeout == INFINITE;
    const auto deadline = clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
    for (;;) {
        auto slice = slice_;
        if (!forever) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            slice = std::clamp(left, std::chrono::milliseconds(1), slice_);
        }
        LONG result =
            inner_.get_status_change(context, static_cast<DWORD>(slice.count()), states, count);
        if (result != SCARD_E_TIMEOUT) return result;
        if (!forever && clock::now() >= deadline) return result;
        // A cancel that came while no slice was running, or a client that has gone.
        if (marks_.cancelled_since(context, arrival) || (gone_ && gone_()))
            return SCARD_E_CANCELLED;
    }
}

}  // namespace kx_agent::smartcard
