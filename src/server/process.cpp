#include "server/process.h"

#include <iostream>

#include "smartcard/smartcard.h"

namespace kx_agent::server {
namespace {
constexpr uint8_t kClass = 3;
constexpr uint8_t kHandshake = 1;
constexpr uint8_t kCall = 3;
// 03 03, IoControlCode, DeviceId and CompletionId.
constexpr std::size_t kCallFrameSize = 14;
}  // namespace

bool process(const std::vector<uint8_t>& message, data_view::DataView& reply) {
    if (message.size() < 2 || message[0] != kClass) return false;
    if (message[1] == kHandshake) {
        if (reply.output() == nullptr) return false;
        smartcard::handshake(*reply.output());
        return true;
    }
    if (message[1] != kCall) return false;
    if (message.size() < kCallFrameSize) {
        std::cerr << "call of " << message.size() << " bytes is too short for its header"
                  << std::endl;
        return false;
    }
    smartcard::process_smartcard(message, reply);
    return true;
}

}  // namespace kx_agent::server
