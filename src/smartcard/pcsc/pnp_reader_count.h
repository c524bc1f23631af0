#pragma once
// The reader count of status-change waits on "\\?PnP?\Notification", as Windows' resource
// manager keeps it, over a service that keeps none (pcsc-lite).
//
// The upper 16 bits of the entry's known state are the number of readers the client knows.
// When that differs from the number now, the wait ends at once with SCARD_STATE_CHANGED and the
// number now in the upper 16 bits of the event state; a reader added or removed during the wait
// ends it the same way.
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

class PnpReaderCount final : public ForwardingPcsc {
public:
    using ForwardingPcsc::ForwardingPcsc;

    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override;
};

}  // namespace kx_agent::smartcard
