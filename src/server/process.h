#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data_view.h"
#include "smartcard/calls/services.h"

namespace kx_agent::server {

// The kinds of binary message a relay receives: 03 01 (handshake, optionally followed by one
// byte of flags), 03 03 (a call, at least 14 bytes) and anything else, which ends the relay.
enum class MessageKind { handshake, call, unrecognised };
MessageKind classify(const std::vector<uint8_t>& message);

// Handshake flag: the client matches replies to calls by their CompletionId, so they may come
// in any order; the agent then carries out calls on different contexts side by side.
inline constexpr uint8_t kRepliesInAnyOrder = 0x01;
// The flags the agent grants to a handshake: the offered ones that it knows. nullopt for a
// handshake without flags (the two bytes 03 01), which keeps strict order.
std::optional<uint8_t> granted_flags(const std::vector<uint8_t>& message);

// Answers one binary message of the relay: 03 01 (handshake) gets 03 02, followed by the granted
// flags when flags were offered; 03 03 a smart-card call reply, carried out with `services`.
// Returns false, with nothing written, for any other message, and for a call too short to hold
// its code and both identifiers: the relay then ends.
bool process(const std::vector<uint8_t>& message, data_view::DataView& reply,
             const smartcard::Services& services);

// The reply to a call (`call`: at least its first 14 bytes, up to CompletionId) that the agent
// answers with `code` without carrying it out, as when it has no thread to run it on.
std::vector<uint8_t> refusal(std::span<const uint8_t> call, uint32_t code);
// process() as the relay runs it, with the agent's lines about the call: once, whatever the
// mode, that the PC/SC service is not running when a reply carries SCARD_E_NO_SERVICE; and
// with --verbose one line per message of `connection` (a call's name, its ReturnCode by name
// and the microseconds it took; a handshake; a message cut short or not recognised).
bool process_call(uint64_t connection, const std::vector<uint8_t>& message,
                  data_view::DataView& reply, const smartcard::Services& services);

}  // namespace kx_agent::server
