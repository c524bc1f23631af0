#include "server/process.h"

#include <algorithm>
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

MessageKind classify(const std::vector<uint8_t>& message) {
    if (message.size() < 2 || message[0] != kClass) return MessageKind::unrecognised;
    if (message[1] == kHandshake) return MessageKind::handshake;
    if (message[1] == kCall && message.size() >= kCallFrameSize) return MessageKind::call;
    return MessageKind::unrecognised;
}

std::optional<uint8_t> granted_flags(const std::vector<uint8_t>& message) {
    if (classify(message) != MessageKind::handshake || message.size() < 3) return std::nullopt;
    return static_cast<uint8_t>(message[2] & kRepliesInAnyOrder);
}

bool process(const std::vector<uint8_t>& message, data_view::DataView& reply) {
    switch (classify(message)) {
    case MessageKind::handshake:
        if (reply.output() == nullptr) return false;
        smartcard::handshake(*reply.output());
        if (auto flags = granted_flags(message)) reply.output()->push_back(*flags);
        return true;
    case MessageKind::call:
        smartcard::process_smartcard(message, reply);
        return true;
    case MessageKind::unrecognised:
        if (message.size() >= 2 && message[0] == kClass && message[1] == kCall)
            std::cerr << "call of " << message.size() << " bytes is too short for its header"
                      << std::endl;
        return false;
    }
    return false;
}

std::vector<uint8_t> refusal(std::span<const uint8_t> call, uint32_t code) {
    // The code and both ids are all a refusal needs; a call cut shorter reads as zeros there.
    std::vector<uint8_t> head(call.begin(), call.begin() + std::min(call.size(), kCallFrameSize));
    head.resize(kCallFrameSize);
    std::vector<uint8_t> reply;
    data_view::DataView view(reply, 0);
    smartcard::refuse_smartcard(head, view, code);
    return reply;
}

}  // namespace kx_agent::server
