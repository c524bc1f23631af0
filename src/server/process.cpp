#include "server/process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <span>
#include <string>

#include "diagnostics.h"
#include "smartcard/wire/return_code_names.h"
#include "smartcard/wire/return_codes.h"

namespace kx_agent::server {
namespace {

std::atomic<bool> no_service_said{false};

std::string hex_start(std::span<const uint8_t> bytes) {
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += two;
    }
    return bytes.size() > 8 ? text + " ..." : text;
}

struct Answer {
    bool answered = false;
    // A call's ReturnCode, as its executor gave it; none when the reply had nowhere to go.
    std::optional<smartcard::ReturnCode> code;
};

Answer answer(const smartcard::DecodedMessage& message, data_view::DataView& reply,
              const smartcard::Services& services) {
    switch (message.kind) {
    case MessageKind::handshake:
        if (reply.output() == nullptr) return {};
        smartcard::handshake(*reply.output());
        if (auto flags = granted_flags(message)) reply.output()->push_back(*flags);
        return {true, std::nullopt};
    case MessageKind::call: {
        const smartcard::ReturnCode code = message.run(reply, services);
        return {true, reply.output() != nullptr ? std::optional(code) : std::nullopt};
    }
    case MessageKind::unrecognised:
        if (diagnostics::verbose() && message.cutShort)
            diagnostics::client_err("call of " + std::to_string(message.bytes.size()) +
                                    " bytes is too short for its header");
        return {};
    }
    return {};
}

// Said once, whatever the mode, while the PC/SC service stays away; a call that succeeds
// re-arms it.
void note_service(smartcard::ReturnCode code) {
    if (code == smartcard::rc::no_service) {
        if (!no_service_said.exchange(true))
            diagnostics::err(
                "The PC/SC service is not running (SCARD_E_NO_SERVICE): the agent answers its "
                "calls with that code until it runs.");
    } else if (code == smartcard::rc::success && no_service_said.load(std::memory_order_relaxed)) {
        // Written only when set: every connection's every call passes here, and a store each
        // time would move the flag's cache line from core to core.
        no_service_said.store(false, std::memory_order_relaxed);
    }
}

// The --verbose line of a message of `connection`; `code`: a call's ReturnCode.
void say(uint64_t connection, const smartcard::DecodedMessage& message,
         std::optional<smartcard::ReturnCode> code, std::chrono::microseconds took) {
    const std::string who = "connection " + std::to_string(connection) + ": ";
    switch (message.kind) {
    case MessageKind::call: {
        std::string name(message.name());
        if (name.empty()) {
            char text[11];
            std::snprintf(text, sizeof text, "0x%08X",
                          static_cast<unsigned>(message.head.ioControlCode));
            name = std::string("unknown call ") + text;
        }
        const std::string outcome = code ? std::string(smartcard::returnCodeName(code->value()))
                                         : std::string("no return code");
        diagnostics::client_out(who + name + " -> " + outcome + ", " +
                                std::to_string(took.count()) + " us");
        break;
    }
    case MessageKind::handshake:
        diagnostics::client_out(who + "handshake " + hex_start(message.bytes));
        break;
    case MessageKind::unrecognised:
        diagnostics::client_out(who +
                                (message.cutShort ? "call cut short: " : "unrecognised message: ") +
                                std::to_string(message.bytes.size()) + " bytes (" +
                                hex_start(message.bytes) + "); the connection ends");
        break;
    }
}

}  // namespace

std::optional<uint8_t> granted_flags(const smartcard::DecodedMessage& message) {
    if (message.kind != MessageKind::handshake || !message.flags) return std::nullopt;
    return static_cast<uint8_t>(*message.flags & kRepliesInAnyOrder);
}

bool process(const std::vector<uint8_t>& message, data_view::DataView& reply,
             const smartcard::Services& services) {
    return answer(smartcard::decode(message), reply, services).answered;
}

std::vector<uint8_t> refusal(const smartcard::CallHead& head, smartcard::ReturnCode code) {
    std::vector<uint8_t> reply;
    data_view::DataView view(reply, 0);
    smartcard::refuse_smartcard(head, view, code);
    return reply;
}

bool process_call(uint64_t connection, const smartcard::DecodedMessage& message,
                  data_view::DataView& reply, const smartcard::Services& services) {
    // Only --verbose takes the time of a call.
    const bool verbose = diagnostics::verbose();
    const auto started =
        verbose ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    const Answer answered = answer(message, reply, services);
    if (answered.code) note_service(*answered.code);
    if (verbose) {
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
        say(connection, message, answered.code, took);
    }
    return answered.answered;
}

}  // namespace kx_agent::server
