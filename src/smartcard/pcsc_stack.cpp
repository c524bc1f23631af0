#include "smartcard/pcsc_stack.h"

#include <atomic>

namespace kx_agent::smartcard {
namespace {

std::atomic<Pcsc*> installed{nullptr};

// Without an installed stack (a program that calls the handlers directly), the client's layers
// over the platform's service, with no guard.
Pcsc& default_stack() {
    static ClientLayers layers(system_pcsc());
    return layers.top();
}

}  // namespace

Pcsc& pcsc() {
    Pcsc* stack = installed.load(std::memory_order_acquire);
    return stack != nullptr ? *stack : default_stack();
}

Pcsc* set_pcsc(Pcsc* stack) { return installed.exchange(stack, std::memory_order_acq_rel); }

AgentStack& agent_stack() {
    static AgentStack stack;
    return stack;
}

}  // namespace kx_agent::smartcard
