#pragma once
// The relayed calls the benchmark times, built as the web client sends them: 03 03, the
// [MS-RDPESC] I/O control code, DeviceId, CompletionId, then the call's NDR type serialisation
// version 1 stream (Common and Private Type Headers and the ..._Call structure).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/wire/ioctls.h"

namespace kx_agent::bench {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kEstablishContext =
    smartcard::ioctl::establishContext;  // SCARD_IOCTL_ESTABLISHCONTEXT
inline constexpr uint32_t kReleaseContext =
    smartcard::ioctl::releaseContext;  // SCARD_IOCTL_RELEASECONTEXT
inline constexpr uint32_t kListReadersA =
    smartcard::ioctl::listReadersA;  // SCARD_IOCTL_LISTREADERSA
inline constexpr uint32_t kGetStatusChangeA =
    smartcard::ioctl::getStatusChangeA;                            // SCARD_IOCTL_GETSTATUSCHANGEA
inline constexpr uint32_t kConnectA = smartcard::ioctl::connectA;  // SCARD_IOCTL_CONNECTA
inline constexpr uint32_t kDisconnect = smartcard::ioctl::disconnect;  // SCARD_IOCTL_DISCONNECT
inline constexpr uint32_t kStatusA = smartcard::ioctl::statusA;        // SCARD_IOCTL_STATUSA

inline constexpr uint32_t kUnsupportedFeature = 0x80100022;  // SCARD_E_UNSUPPORTED_FEATURE

// The reader-list buffer offered by both paths; the two virtual readers need 37 bytes.
inline constexpr uint32_t kReaderListSize = 256;

// 03 01, answered 03 02 without any PC/SC.
Bytes handshake_message();

Bytes establish_call(uint32_t scope);
// The context's 8 reference bytes sit at a fixed offset, so a timed loop patches them in place.
Bytes release_call(uint64_t context);
inline constexpr std::size_t kReleaseContextOffset = 42;
Bytes list_readers_call(uint64_t context, uint32_t cchReaders);
// Time-out 0 and every known state SCARD_STATE_UNAWARE: PC/SC answers at once with the states.
Bytes status_change_call(uint64_t context, std::span<const std::string> readers);
Bytes connect_call(uint64_t context, std::string_view reader, uint32_t share_mode,
                   uint32_t preferred_protocols);
// Reader names wanted, a 32-byte ATR buffer.
Bytes status_call(uint64_t context, uint64_t card);
Bytes disconnect_call(uint64_t context, uint64_t card, uint32_t disposition);

void put_u64_le(Bytes& bytes, std::size_t offset, uint64_t value);

// Fields of a reply: 03 03, the 36-byte reply head, then the ..._Return with ReturnCode first.
// ReturnCode, or nullopt for a reply too short to hold one.
std::optional<uint32_t> return_code(std::span<const uint8_t> reply);
// The context of a successful EstablishContext_Return.
std::optional<uint64_t> established_context(std::span<const uint8_t> reply);
// The card handle of a successful Connect_Return.
std::optional<uint64_t> connected_card(std::span<const uint8_t> reply);

std::string hex32(uint32_t value);

}  // namespace kx_agent::bench
