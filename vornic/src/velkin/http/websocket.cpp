// RFC 6455 server side on an upgraded request: the opening handshake (4.2.2) and the framing
// (5.2). The server writes each message as one unfragmented, unmasked frame, and only answers
// pings and closes; it never starts either.
#include "velkin/http/websocket.h"

#include <algorithm>
#include <array>

#include "velkin/platform/digest.h"
#include "velkin/string.h"

namespace vornic::velkin::http {

namespace websocket {

std::optional<std::string> accept_value(std::string_view key) {
    std::string input(key);
    input.append(kAcceptGuid);
    const auto digest = digest::sha1(std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
    if (!digest) {
        return std::nullopt;
    }
    return digest::base64(*digest);  // 28 characters for the 20-byte digest
}

}  // namespace websocket

namespace {

using websocket::kMaxMessageSize;

// RFC 9110 5.5: a field value holds no CR, LF, NUL or other control character but HTAB. A
// value copied from the request into the handshake answer that breaks the rule is left out:
// a bare CR in a response head could end the header line for some clients and start one of the
// client's choosing.
bool safe_field_value(std::string_view value) {
    return std::ranges::none_of(value, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
}

uint64_t big_endian(std::span<const uint8_t> bytes) {
    uint64_t value = 0;
    for (const uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    return value;
}

}  // namespace

IoResult<std::string> HttpRequest::get_key_accept() const {
    const auto key = get_value("sec-websocket-key");
    if (!key) {
        return std::unexpected(net::protocol_error("WebSocket upgrade without sec-websocket-key"));
    }
    auto accept = websocket::accept_value(*key);
    if (!accept) {
        return std::unexpected(net::protocol_error("the system could not compute the WebSocket accept value"));
    }
    return std::move(*accept);
}

IoResult<void> HttpRequest::write_ws_def_header() {
    const auto accept = get_key_accept();
    if (!accept) {
        return std::unexpected(accept.error());  // nothing written: the request has no answer
    }
    std::string head =
        "HTTP/1.1 101 Switching Protocols\r\n"
        "Upgrade: websocket\r\n"
        "Connection: Upgrade\r\n"
        "Sec-WebSocket-Accept: ";
    head.append(*accept);
    head.append("\r\n");
    // The server always takes the first protocol the client offers.
    if (const auto protocols = get_value("sec-websocket-protocol");
        protocols && safe_field_value(*protocols)) {
        head.append("Sec-WebSocket-Protocol: ");
        head.append(std::string_view(*protocols).substr(0, protocols->find(',')));
        head.append("\r\n");
    }
    if (const auto cookie = get_value("cookie"); cookie && safe_field_value(*cookie)) {
        head.append("Cookie: ");
        head.append(*cookie);
        head.append("\r\n");
    }
    head.append("\r\n");
    return stream.write_all(string::bytes_of(head));
}

IoResult<std::size_t> HttpRequest::read_frame(std::vector<uint8_t>& message) {
    std::array<uint8_t, 2> header{};
    if (auto read = stream.read_exact(header); !read) {
        return std::unexpected(read.error());
    }
    // RFC 6455 5.1: "a client MUST mask all frames that it sends to the server"; the frame is
    // refused before anything more of it is read.
    if ((header[1] & 0x80) == 0) {
        return std::unexpected(net::protocol_error("WebSocket data from client must be masked"));
    }
    uint64_t length = header[1] & 0x7F;
    if (length == 126) {
        std::array<uint8_t, 2> extended{};
        if (auto read = stream.read_exact(extended); !read) {
            return std::unexpected(read.error());
        }
        length = big_endian(extended);
    } else if (length == 127) {
        std::array<uint8_t, 8> extended{};
        if (auto read = stream.read_exact(extended); !read) {
            return std::unexpected(read.error());
        }
        length = big_endian(extended);
    }
    // The length comes off the wire: it is held against the message bound before any of the
    // payload is read or room is made for it.
    if (message.size() > kMaxMessageSize || length > kMaxMessageSize - message.size()) {
        (void)close_ws(websocket::kCloseMessageTooBig, std::nullopt);
        return std::unexpected(net::protocol_error(
            "WebSocket message too big: a frame of " + std::to_string(length) +
            " bytes after " + std::to_string(message.size()) + " would pass the limit of " +
            std::to_string(kMaxMessageSize) + " bytes"));
    }
    std::array<uint8_t, 4> mask{};
    if (auto read = stream.read_exact(mask); !read) {
        return std::unexpected(read.error());
    }
    const std::size_t start = message.size();
    message.resize(start + static_cast<std::size_t>(length));
    const std::span<uint8_t> payload = std::span(message).subspan(start);
    if (auto read = stream.read_exact(payload); !read) {
        message.resize(start);
        return std::unexpected(read.error());
    }
    // RFC 6455 5.3: octet i is XORed with octet i MOD 4 of the masking key.
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] ^= mask[i & 3];
    }
    return header[0];
}

IoResult<websocket::WsMessage> HttpRequest::read_ws() {
    std::vector<uint8_t> message;
    uint8_t message_opcode = 0xFF;  // none yet
    for (;;) {
        const std::size_t frame_start = message.size();
        const auto first = read_frame(message);
        if (!first) {
            return std::unexpected(first.error());
        }
        const bool fin = (*first & 0x80) != 0;
        const auto opcode = static_cast<uint8_t>(*first & 0x0F);
        if (opcode == websocket::kOpContinuation) {
            if (fin) {
                break;
            }
        } else if (opcode == websocket::kOpText || opcode == websocket::kOpBinary) {
            message_opcode = opcode;
            if (fin) {
                break;
            }
        } else if (opcode <= 7) {
            // Reserved data opcodes: no extension gives them a meaning, so their data is dropped.
            message_opcode = opcode;
            message.resize(frame_start);
        } else if (opcode == websocket::kOpClose) {
            // RFC 6455 5.5.1: answer with a close frame; the caller decides what comes next.
            (void)close_ws(std::nullopt, std::nullopt);
            return websocket::Close{};
        } else if (opcode == websocket::kOpPing) {
            // RFC 6455 5.5.3: the pong carries the ping's application data.
            const std::span<const uint8_t> ping = std::span(message).subspan(frame_start);
            if (auto pong = write_ws_pong(ping); !pong) {
                return std::unexpected(pong.error());
            }
            message.resize(frame_start);
        } else if (opcode == websocket::kOpPong) {
            message.resize(frame_start);
        } else {
            return std::unexpected(net::protocol_error("Invalid op_code " + std::to_string(opcode)));
        }
    }
    if (message_opcode == websocket::kOpText) {
        return websocket::Text{string::from_utf8_lossy(message)};
    }
    return websocket::Binary{std::move(message)};
}

IoResult<void> HttpRequest::write_frame(uint8_t opcode,
                                        std::optional<std::span<const uint8_t>> payload) {
    const std::span<const uint8_t> data = payload.value_or(std::span<const uint8_t>());
    const std::size_t n = data.size();
    const std::size_t header_size = n <= 125 ? 2 : n <= 0xFFFF ? 4 : 10;
    // Header and payload in one buffer and one write, so each frame leaves whole.
    std::vector<uint8_t> frame;
    frame.reserve(header_size + n);
    frame.push_back(static_cast<uint8_t>(0x80 | opcode));
    if (n <= 125) {
        frame.push_back(static_cast<uint8_t>(n));
    } else if (n <= 0xFFFF) {
        frame.push_back(126);
        frame.push_back(static_cast<uint8_t>(n >> 8));
        frame.push_back(static_cast<uint8_t>(n));
    } else {
        frame.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> shift));
        }
    }
    frame.insert(frame.end(), data.begin(), data.end());
    if (auto written = stream.write_all(frame); !written) {
        return written;
    }
    return stream.flush();
}

IoResult<void> HttpRequest::write_ws_binary(std::span<const uint8_t> data) {
    return write_frame(websocket::kOpBinary, data);
}

IoResult<void> HttpRequest::write_ws_pong(std::optional<std::span<const uint8_t>> payload) {
    return write_frame(websocket::kOpPong, payload);
}

IoResult<void> HttpRequest::close_ws(std::optional<unsigned> status,
                                     std::optional<std::span<const uint8_t>> reason) {
    // RFC 6455 5.5.1: a close body starts with the 2-byte status code; a reason only follows one.
    std::vector<uint8_t> payload;
    if (status) {
        payload.push_back(static_cast<uint8_t>((*status >> 8) & 0xFF));
        payload.push_back(static_cast<uint8_t>(*status & 0xFF));
        if (reason) {
            payload.insert(payload.end(), reason->begin(), reason->end());
        }
    }
    if (payload.empty()) {
        return write_frame(websocket::kOpClose, std::nullopt);
    }
    return write_frame(websocket::kOpClose, payload);
}

}  // namespace vornic::velkin::http
