#pragma once
// The layers between the call handlers and a PC/SC service, from the client down:
//
//   WindowsNumbering  the client's ([MS-RDPESC], Windows) numbering of states, protocols,
//                     control codes and return codes (smartcard/pcsc/windows_numbering.h)
//   PnpReaderCount    the reader count of "\\?PnP?\Notification" waits
//                     (smartcard/pcsc/pnp_reader_count.h)
//   ConnectionScope::Call
//                     the agent's stack only, the layers of one relayed call
//                     (smartcard/pcsc/connection_scope.h):
//     SlicedWaits       waits in slices that end when the client goes, and the cancel marks
//                       that end waits queued before a cancel (smartcard/pcsc/sliced_waits.h)
//     Transactions      who holds a transaction on each card handle; a call that would wait for
//                       its connection's own transaction ends it first; a closed connection's
//                       transactions end at once (smartcard/pcsc/transactions.h)
//     ToGuard           names the connection to the guard
//   ContextGuard      the agent's stack only: which connections use each context, the contexts
//                     a closed connection leaves behind, its grace and the reaper, the bound per
//                     connection (smartcard/pcsc/context_guard.h); it keeps what the calls'
//                     layers share, the transactions and the cancel marks
//   CacheEviction     the agent's stack only: a released context takes its card cache items
//                     and its handles' transmit counts with it (smartcard/pcsc/cache_eviction.h);
//                     under the guard, so that what the guard releases takes them too
//   AgentBounds       the agent's stack only: contexts and card handles of all connections
//                     together (smartcard/pcsc/agent_bounds.h); under the guard, so that what the
//                     guard releases is counted out
//   the service       the platform's (system_pcsc), or a test's fake
//
// The two client layers are there where the service is pcsc-lite; winscard.dll numbers and
// counts as the clients do, and the handlers reach the service below them as it is. The relay
// builds the layers from the connection's call up for each call (ClientLayers over a Call over
// the guard); the stack's own top (AgentStack::services) reaches the guard as no connection.
#include "smartcard/pcsc/agent_bounds.h"
#include "smartcard/pcsc/cache_eviction.h"
#include "smartcard/pcsc/connection_scope.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/pcsc/pnp_reader_count.h"
#include "smartcard/calls/services.h"
#include "smartcard/pcsc/windows_numbering.h"

namespace kx_agent::smartcard {

// The client's layers over `service`, which outlives them.
class ClientLayers {
public:
    explicit ClientLayers(Pcsc& service) : service_(service), pnp_(service), numbering_(pnp_) {}
    ClientLayers(const ClientLayers&) = delete;
    ClientLayers& operator=(const ClientLayers&) = delete;

    // What the handlers call.
    Pcsc& top();

private:
    Pcsc& service_;
    PnpReaderCount pnp_;
    WindowsNumbering numbering_;
};

// The agent's stack over the platform's service, with the card cache and transmit counts that
// every connection's calls share.
class AgentStack {
public:
    AgentStack()
        : bounds_(system_pcsc()),
          eviction_(bounds_, cache_, transmits_),
          guard_(eviction_, ContextGuard::kSlice, ContextGuard::kGrace),
          client_(guard_) {}
    AgentStack(const AgentStack&) = delete;
    AgentStack& operator=(const AgentStack&) = delete;

    ContextGuard& guard() { return guard_; }
    // What the relay hands to each call.
    const Services& services() const { return services_; }

private:
    CardCache cache_;
    TransmitCounts transmits_;
    AgentBounds bounds_;
    CacheEviction eviction_;
    ContextGuard guard_;
    ClientLayers client_;
    Services services_{client_.top(), cache_, transmits_};
};

// The agent's stack, built at the first call: the one place the agent builds it.
AgentStack& agent_stack();

}  // namespace kx_agent::smartcard
