#pragma once
// One complete WebSocket message (RFC 6455) as the frame reader hands it up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vornic::velkin::http::websocket {

struct Text {
    std::string text;  // UTF-8; ill-formed client bytes arrive as U+FFFD
};
struct Binary {
    std::vector<uint8_t> data;
};
// The client sent a close frame; the close reply has already been written.
struct Close {};

using WsMessage = std::variant<Text, Binary, Close>;

// RFC 6455 5.2 opcodes.
inline constexpr uint8_t kOpContinuation = 0x0;
inline constexpr uint8_t kOpText = 0x1;
inline constexpr uint8_t kOpBinary = 0x2;
inline constexpr uint8_t kOpClose = 0x8;
inline constexpr uint8_t kOpPing = 0x9;
inline constexpr uint8_t kOpPong = 0xA;
// No data frame of a message has been read yet.
inline constexpr uint8_t kNoMessage = 0xFF;

// The largest message (all its frames together) that read_ws accepts. A frame that would take
// a message past it is refused before its payload is read, with close status 1009 (RFC 6455
// 7.4.1: "message that is too big for it to process").
inline constexpr std::size_t kMaxMessageSize = 1024 * 1024;
inline constexpr unsigned kCloseMessageTooBig = 1009;
// RFC 6455 7.4.1: the close status of a connection failed for breaking the protocol.
inline constexpr unsigned kCloseProtocolError = 1002;
// RFC 6455 7.4.1: "an endpoint is going away" (here: a peer that stopped answering).
inline constexpr unsigned kCloseGoingAway = 1001;

}  // namespace vornic::velkin::http::websocket
