#pragma once
// The client's layers over a service as one web connection of the agent reaches it: the
// numbering over the record of contexts (a record of its own, for one standing connection), less
// the sliced waits, whose slices would change the timeouts a test sees the service given. What a
// released context held goes with it here as in the agent.
#include <chrono>

#include "smartcard/calls/services.h"
#include "smartcard/pcsc/connection_scope.h"
#include "smartcard/pcsc/context_guard.h"
#include "smartcard/pcsc/pcsc_stack.h"

namespace kx_agent::test {

class ClientStack {
public:
    // `grace`: how long the connection's contexts are held once the stack goes (0: released then).
    ClientStack(smartcard::Pcsc& service, smartcard::CardCache& cache,
                smartcard::TransmitCounts& transmits,
                std::chrono::milliseconds grace = smartcard::ContextGuard::kGrace)
        : record_(service, smartcard::ContextGuard::kSlice, grace, &cache, &transmits),
          services_{layers_.top(), cache, transmits, record_} {}
    ClientStack(const ClientStack&) = delete;
    ClientStack& operator=(const ClientStack&) = delete;

    const smartcard::Services& services() const { return services_; }

private:
    smartcard::ContextGuard record_;
    smartcard::ConnectionScope connection_{record_};
    smartcard::ContextGuard::Calls calls_{record_, connection_};
    smartcard::ClientLayers layers_{calls_};
    smartcard::Services services_;
};

}  // namespace kx_agent::test
