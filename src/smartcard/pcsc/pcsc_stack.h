#pragma once
// The layers between the call handlers and a PC/SC service, from the client down:
//
//   WindowsNumbering  the client's ([MS-RDPESC], Windows) numbering of states, protocols,
//                     control codes and return codes, with the reader count of
//                     "\\?PnP?\Notification" waits (smartcard/pcsc/windows_numbering.h)
//   SlicedWaits       waits in slices that end when the client goes, and the cancel marks that
//                     end waits queued before a cancel (smartcard/pcsc/sliced_waits.h)
//   ContextGuard::Calls
//                     the record of what each client context holds: its connections, grace,
//                     cancel mark, card handles and their transactions, and the agent's bounds
//                     (smartcard/pcsc/context_guard.h); a released context takes its card cache
//                     items and transmit counts with it
//   the service       the platform's (system_pcsc), or a test's fake
//
// The numbering is there where the service is pcsc-lite; winscard.dll numbers and counts as the
// clients do, and the handlers reach the layers below it as they are. The relay builds the two
// lower layers for each call of a connection (ConnectionScope::Call) and the numbering over them;
// the stack's own top (AgentStack::services) reaches the guard as no connection.
#include "smartcard/pcsc/connection_scope.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/calls/services.h"
#include "smartcard/pcsc/windows_numbering.h"

namespace kx_agent::smartcard {

// The client's layers over `service`, which outlives them.
class ClientLayers {
public:
    explicit ClientLayers(Pcsc& service) : service_(service), numbering_(service) {}
    ClientLayers(const ClientLayers&) = delete;
    ClientLayers& operator=(const ClientLayers&) = delete;

    // What the handlers call.
    Pcsc& top();

private:
    Pcsc& service_;
    WindowsNumbering numbering_;
};

// The agent's stack over the platform's service, with the card cache and transmit counts that
// every connection's calls share.
class AgentStack {
public:
    AgentStack()
        : guard_(system_pcsc(), ContextGuard::kSlice, ContextGuard::kGrace, &cache_, &transmits_),
          client_(guard_) {}
    AgentStack(const AgentStack&) = delete;
    AgentStack& operator=(const AgentStack&) = delete;

    ContextGuard& guard() { return guard_; }
    // What the relay hands to each call.
    const Services& services() const { return services_; }

private:
    CardCache cache_;
    TransmitCounts transmits_;
    ContextGuard guard_;
    ClientLayers client_;
    Services services_{client_.top(), cache_, transmits_, guard_};
};

// The agent's stack, built at the first call: the one place the agent builds it.
AgentStack& agent_stack();

}  // namespace kx_agent::smartcard
