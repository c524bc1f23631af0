#include "smartcard/pcsc.h"

#include <atomic>

namespace kx_agent::smartcard {
namespace {

std::atomic<Pcsc*> installed{nullptr};

}  // namespace

Pcsc& installed_pcsc() {
    Pcsc* service = installed.load(std::memory_order_acquire);
    return service != nullptr ? *service : system_pcsc();
}

Pcsc* set_pcsc(Pcsc* service) {
    Pcsc* previous = installed.exchange(service, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &system_pcsc();
}

}  // namespace kx_agent::smartcard
