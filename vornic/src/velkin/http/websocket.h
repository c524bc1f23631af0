#pragma once
// WebSocket (RFC 6455) on an upgraded HttpRequest: the handshake and the frame operations are
// members of HttpRequest (velkin/http/http.h); the message types are in ws_message.h.
#include <optional>
#include <string>
#include <string_view>

#include "velkin/http/http.h"
#include "velkin/http/ws_message.h"

namespace vornic::velkin::http::websocket {

// RFC 6455 4.2.2: the GUID appended to the client's key before hashing.
inline constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// Base64(SHA-1(key + GUID)): the Sec-WebSocket-Accept value for a Sec-WebSocket-Key.
std::optional<std::string> accept_value(std::string_view key);

}  // namespace vornic::velkin::http::websocket
