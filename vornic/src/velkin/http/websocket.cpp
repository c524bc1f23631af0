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

namespace {

// The two bytes every frame starts with, checked for the mask before anything else is read.
IoResult<std::array<uint8_t, 2>> read_frame_start(net::TcpStream& stream) {
    std::array<uint8_t, 2> header{};
    if (auto read = stream.read_exact(header); !read) {
        return std::unexpected(read.error());
    }
    // RFC 6455 5.1: "a client MUST mask all frames that it sends to the server"; the frame is
    // refused before anything more of it is read.
    if ((header[1] & 0x80) == 0) {
        return std::unexpected(net::protocol_error("WebSocket data from client must be masked"));
    }
    return header;
}

// RFC 6455 7.4.1 and 7.4.2: the status codes a peer may put in a close frame. 1004-1006 and 1015
// are reserved for reports inside an endpoint ("MUST NOT be set as a status code in a Close
// control frame by an endpoint"); 1016-2999 are left for future revisions of the protocol, and
// nothing is defined below 1000 or from 5000 on.
bool close_status_may_be_sent(unsigned status) {
    if (status < 1000 || status >= 5000) {
        return false;
    }
    return status >= 3000 || status <= 1003 || (status >= 1007 && status <= 1014);
}

}  // namespace

IoResult<std::size_t> HttpRequest::read_frame_rest(std::array<uint8_t, 2> header,
                                                   std::vector<uint8_t>& message) {
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
        stream.shutdown_lingering(kLingerTime, kLingerBytes);
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

IoResult<std::size_t> HttpRequest::read_frame(std::vector<uint8_t>& message) {
    const auto header = read_frame_start(stream);
    if (!header) {
        return std::unexpected(header.error());
    }
    return read_frame_rest(*header, message);
}

IoError HttpRequest::fail_ws(std::string error) {
    // RFC 6455 7.1.7: "the endpoint MUST _Close the WebSocket Connection_" and may say why:
    // 1002 "indicates that an endpoint is terminating the connection due to a protocol error"
    // (7.4.1). Nothing more is sent; what the client still sends is dropped while the
    // connection lingers, and the caller's error ends it.
    (void)close_ws(websocket::kCloseProtocolError, std::nullopt);
    stream.shutdown_lingering(kLingerTime, kLingerBytes);
    return net::protocol_error(std::move(error));
}

IoResult<void> HttpRequest::await_frame(const IdleLimit& limit) {
    const auto socket = stream.native_handle();
    if (net::sys::wait_readable(socket, limit.quiet) != 0) return {};  // bytes, an end or a failure
    // RFC 6455 5.5.2: "A Ping frame MAY be sent after the connection is established"; a live
    // endpoint answers it with a pong (5.5.3), which browsers do on their own.
    if (auto pinged = write_frame(websocket::kOpPing, std::nullopt); !pinged) {
        return std::unexpected(pinged.error());
    }
    if (net::sys::wait_readable(socket, limit.answer) != 0) return {};
    // 1001: "an endpoint is going away"; the peer is not answering, so nothing is waited for.
    (void)close_ws(websocket::kCloseGoingAway, std::nullopt);
    return std::unexpected(net::protocol_error("WebSocket idle: no answer to a ping"));
}

IoResult<websocket::WsMessage> HttpRequest::read_ws() {
    std::vector<uint8_t> message;
    uint8_t message_opcode = websocket::kNoMessage;
    const auto refuse = [this](const std::string& why) {
        return std::unexpected(fail_ws("WebSocket protocol error: " + why));
    };
    for (;;) {
        if (idle_limit) {
            if (auto alive = await_frame(*idle_limit); !alive) {
                return std::unexpected(alive.error());
            }
        }
        const auto header = read_frame_start(stream);
        if (!header) {
            return std::unexpected(header.error());
        }
        const bool fin = ((*header)[0] & 0x80) != 0;
        const auto opcode = static_cast<uint8_t>((*header)[0] & 0x0F);
        const bool control = (opcode & 0x08) != 0;
        const unsigned short_length = (*header)[1] & 0x7F;
        // Every check below needs only the first two bytes, so a bad frame is refused before its
        // length, key or payload is read.
        // RFC 6455 5.2: RSV1-3 "MUST be 0 unless an extension is negotiated that defines meanings
        // for non-zero values"; this server negotiates none.
        if (((*header)[0] & 0x70) != 0) {
            return refuse("RSV bits set");
        }
        // RFC 6455 5.2: "If an unknown opcode is received, the receiving endpoint MUST _Fail the
        // WebSocket Connection_."
        if ((opcode >= 3 && opcode <= 7) || opcode >= 11) {
            return std::unexpected(fail_ws("Invalid op_code " + std::to_string(opcode)));
        }
        if (control) {
            // RFC 6455 5.5: "All control frames MUST have a payload length of 125 bytes or less
            // and MUST NOT be fragmented."
            // Such a length always fits the 7-bit field, and "the minimal number of bytes MUST be
            // used to encode the length" (5.2): the 16- and 64-bit forms are refused unread.
            if (!fin) {
                return refuse("fragmented control frame");
            }
            if (short_length > 125) {
                return refuse("control frame longer than 125 bytes");
            }
            // RFC 6455 5.5.1: a close body, when there is one, starts with a 2-byte status code.
            if (opcode == websocket::kOpClose && short_length == 1) {
                return refuse("close frame with a 1-byte body");
            }
        } else if (opcode == websocket::kOpContinuation) {
            // RFC 6455 5.4: a continuation only ever follows the first frame of a message.
            if (message_opcode == websocket::kNoMessage) {
                return refuse("continuation frame without a message");
            }
        } else if (message_opcode != websocket::kNoMessage) {
            // RFC 6455 5.4: "The fragments of one message MUST NOT be interleaved between the
            // fragments of another message unless an extension has been negotiated".
            return refuse("new message inside a fragmented one");
        }

        if (!control) {
            const auto read = read_frame_rest(*header, message);
            if (!read) {
                return std::unexpected(read.error());
            }
            if (opcode != websocket::kOpContinuation) {
                message_opcode = opcode;
            }
            if (fin) {
                break;
            }
            continue;
        }

        // Control frames may come between the fragments of a message (RFC 6455 5.4); their
        // payload is kept apart so that the gathered data stays as it is.
        std::vector<uint8_t> body;
        if (const auto read = read_frame_rest(*header, body); !read) {
            return std::unexpected(read.error());
        }
        if (opcode == websocket::kOpClose) {
            std::optional<unsigned> status;
            if (body.size() >= 2) {
                status = (unsigned{body[0]} << 8) | body[1];
                if (!close_status_may_be_sent(*status)) {
                    return refuse("close status " + std::to_string(*status) + " may not be sent");
                }
            }
            // RFC 6455 5.5.1: "If an endpoint receives a Close frame and did not previously send
            // a Close frame, the endpoint MUST send a Close frame in response. (When sending a
            // Close frame in response, the endpoint typically echos the status code it
            // received.)" An empty close is answered empty. "After both sending and receiving a
            // Close message, an endpoint ... MUST close the underlying TCP connection": the
            // caller ends the connection on Close.
            (void)close_ws(status, std::nullopt);
            return websocket::Close{};
        }
        if (opcode == websocket::kOpPing) {
            // RFC 6455 5.5.3: "A Pong frame sent in response to a Ping frame must have identical
            // "Application data" as found in the message body of the Ping frame being replied to."
            if (auto pong = write_ws_pong(body); !pong) {
                return std::unexpected(pong.error());
            }
        }
        // A pong needs no answer (RFC 6455 5.5.3: "A response to an unsolicited Pong frame is
        // not expected").
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
