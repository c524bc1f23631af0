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

// A status-change wait on `service` that keeps that count for the "\\?PnP?\Notification"
// entries of `states` (any others wait as they are). Part of the client's numbering
// (smartcard/pcsc/windows_numbering.h).
LONG pnpStatusChange(Pcsc& service, SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                     DWORD count);

}  // namespace kx_agent::smartcard
