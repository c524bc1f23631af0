#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "data_view.h"
#include "smartcard/calls/services.h"
#include "smartcard/smartcard.h"

namespace kx_agent::server {

// The kinds of binary message a relay receives: 03 01 (handshake, optionally followed by one
// byte of flags), 03 03 (a call, at least 14 bytes) and anything else, which ends the relay.
// A message's kind is decoded with the rest of it (smartcard::decode).
using smartcard::MessageKind;

// Handshake flag: the client matches replies to calls by their CompletionId, so they may come
// in any order; the agent then carries out calls on different contexts side by side.
inline constexpr uint8_t kRepliesInAnyOrder = 0x01;
// The flags the agent grants to a handshake: the offered ones that it knows. nullopt for a
// handshake without flags (the two bytes 03 01), which keeps strict order, and for any message
// that is not a handshake.
std::optional<uint8_t> granted_flags(const smartcard::DecodedMessage& message);

// Answers one binary message of the relay: 03 01 (handshake) gets 03 02, followed by the granted
// flags when flags were offered; 03 03 a smart-card call reply, carried out with `services`.
// Returns false, with nothing written, for any other message, and for a call too short to hold
// its code and both identifiers: the relay then ends. The message is decoded once, then answered.
bool process(const std::vector<uint8_t>& message, data_view::DataView& reply,
             const smartcard::Services& services);

// The reply to the call of `head` that the agent answers with `code` without carrying it out,
// as when it has no thread to run it on.
std::vector<uint8_t> refusal(const smartcard::CallHead& head, smartcard::ReturnCode code);
// process() as the relay runs it, on the message it decoded when it read it, with the agent's
// lines about the message: once, whatever the mode, that the PC/SC service is not running when a
// call is answered SCARD_E_NO_SERVICE; and with --verbose one line per message of `connection`
// (a call's name, its ReturnCode by name and the microseconds it took to carry out; a
// handshake; a message cut short or not recognised).
bool process_call(uint64_t connection, const smartcard::DecodedMessage& message,
                  data_view::DataView& reply, const smartcard::Services& services);

}  // namespace kx_agent::server
