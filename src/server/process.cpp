#include "server/process.h"

#include <algorithm>
#include <iostream>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "diagnostics.h"
#include "smartcard/wire/return_code_names.h"
#include "smartcard/wire/return_codes.h"
#include "smartcard/smartcard.h"

namespace kx_agent::server {
namespace {
constexpr uint8_t kClass = 3;
constexpr uint8_t kHandshake = 1;
constexpr uint8_t kCall = 3;
using smartcard::kCallHeadSize;
using smartcard::kReturnCodeOffset;

// Said once while the service stays away; a call that succeeds again re-arms it.
std::atomic<bool> no_service_said{false};

std::optional<uint32_t> return_code(const std::vector<uint8_t>& reply) {
    if (reply.size() < kReturnCodeOffset + 4) return std::nullopt;
    const uint8_t* p = reply.data() + kReturnCodeOffset;
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

uint32_t le32(const std::vector<uint8_t>& bytes, std::size_t at) {
    return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                 static_cast<uint32_t>(bytes[at + 3]) << 24);
}

std::string hex_start(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += two;
    }
    return bytes.size() > 8 ? text + " ..." : text;
}
}  // namespace

MessageKind classify(const std::vector<uint8_t>& message) {
    if (message.size() < 2 || message[0] != kClass) return MessageKind::unrecognised;
    if (message[1] == kHandshake) return MessageKind::handshake;
    if (message[1] == kCall && message.size() >= kCallHeadSize) return MessageKind::call;
    return MessageKind::unrecognised;
}

std::optional<uint8_t> granted_flags(const std::vector<uint8_t>& message) {
    if (classify(message) != MessageKind::handshake || message.size() < 3) return std::nullopt;
    return static_cast<uint8_t>(message[2] & kRepliesInAnyOrder);
}

bool process(const std::vector<uint8_t>& message, data_view::DataView& reply,
             const smartcard::Services& services) {
    switch (classify(message)) {
    case MessageKind::handshake:
        if (reply.output() == nullptr) return false;
        smartcard::handshake(*reply.output());
        if (auto flags = granted_flags(message)) reply.output()->push_back(*flags);
        return true;
    case MessageKind::call: smartcard::process_smartcard(message, reply, services); return true;
    case MessageKind::unrecognised:
        if (diagnostics::verbose() && message.size() >= 2 && message[0] == kClass &&
            message[1] == kCall)
            diagnostics::client_err("call of " + std::to_string(message.size()) +
                                    " bytes is too short for its header");
        return false;
    }
    return false;
}

std::vector<uint8_t> refusal(std::span<const uint8_t> call, uint32_t code) {
    // The code and both ids are all a refusal needs; a call cut shorter reads as zeros there.
    std::vector<uint8_t> head(call.begin(), call.begin() + std::min(call.size(), kCallHeadSize));
    head.resize(kCallHeadSize);
    std::vector<uint8_t> reply;
    data_view::DataView view(reply, 0);
    smartcard::refuse_smartcard(head, view, code);
    return reply;
}

bool process_call(uint64_t connection, const std::vector<uint8_t>& message,
                  data_view::DataView& reply, const smartcard::Services& services) {
    const auto started = std::chrono::steady_clock::now();
    const bool answered = process(message, reply, services);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    const std::string who = "connection " + std::to_string(connection) + ": ";
    switch (classify(message)) {
    case MessageKind::call: {
        const uint32_t code = le32(message, 2);
        // Plain values, not an optional: g++ 12 misjudges an optional's use here.
        bool answered_code = false;
        uint32_t result = 0;
        if (reply.output() != nullptr) {
            if (auto code_of_reply = return_code(*reply.output())) {
                answered_code = true;
                result = *code_of_reply;
            }
        }
        if (answered_code && result == smartcard::rc::no_service.value()) {
            if (!no_service_said.exchange(true))
                diagnostics::err(
                    "The PC/SC service is not running (SCARD_E_NO_SERVICE): the "
                    "agent answers its calls with that code until it runs.");
        } else if (answered_code && result == 0) {
            no_service_said.store(false, std::memory_order_relaxed);
        }
        if (diagnostics::verbose()) {
            std::string name(smartcard::callName(code));
            if (name.empty()) {
                char text[11];
                std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
                name = std::string("unknown call ") + text;
            }
            const std::string outcome = answered_code
                                            ? std::string(smartcard::returnCodeName(result))
                                            : std::string("no return code");
            diagnostics::client_out(who + name + " -> " + outcome + ", " +
                                    std::to_string(took.count()) + " us");
        }
        break;
    }
    case MessageKind::handshake:
        if (diagnostics::verbose())
            diagnostics::client_out(who + "handshake " + hex_start(message));
        break;
    case MessageKind::unrecognised:
        if (diagnostics::verbose()) {
            const bool short_call =
                message.size() >= 2 && message[0] == kClass && message[1] == kCall;
            diagnostics::client_out(who +
                                    (short_call ? "call cut short: " : "unrecognised message: ") +
                                    std::to_string(message.size()) + " bytes (" +
                                    hex_start(message) + "); the connection ends");
        }
        break;
    }
    return answered;
}

}  // namespace kx_agent::server
