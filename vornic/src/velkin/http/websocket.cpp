// RFC 6455 server side on an upgraded request: the opening handshake (4.2.2) and the frames over
// the socket (the frames themselves are read and made in frame_parser.cpp). The server writes
// each message as one unfragmented, unmasked frame, and only answers pings and closes; it never
// starts either, but pings a quiet peer when the request has an idle limit.
#include "velkin/http/websocket.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "velkin/platform/digest.h"
#include "velkin/string.h"

namespace vornic::velkin::http {

namespace websocket {

std::optional<std::string> accept_value(std::string_view key) {
    std::string input(key);
    input.append(kAcceptGuid);
    const auto digest =
        digest::sha1(std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
    if (!digest) {
        return std::nullopt;
    }
    return digest::base64(*digest);  // 28 characters for the 20-byte digest
}

}  // namespace websocket

namespace {

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

}  // namespace

IoResult<std::string> HttpRequest::get_key_accept() const {
    const auto key = get_value("sec-websocket-key");
    if (!key) {
        return std::unexpected(net::protocol_error("WebSocket upgrade without sec-websocket-key"));
    }
    auto accept = websocket::accept_value(*key);
    if (!accept) {
        return std::unexpected(
            net::protocol_error("the system could not compute the WebSocket accept value"));
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

IoError HttpRequest::fail_ws(websocket::FrameError error) {
    // RFC 6455 7.1.7: "the endpoint MUST _Close the WebSocket Connection_" and may say why
    // (1002 for a protocol error, 1009 for a message too big). Nothing more is sent; what the
    // client still sends is dropped while the connection lingers, and the caller's error ends
    // it. A frame that is not masked is not answered at all.
    if (error.close) {
        (void)close_ws(error.close, std::nullopt);
        stream.shutdown_lingering(kLingerTime, kLingerBytes);
    }
    return net::protocol_error(std::move(error.message));
}

IoResult<std::size_t> HttpRequest::read_awake(std::span<uint8_t> into, const IdleLimit& limit) {
    // One read that waits out the quiet time itself (on POSIX one system call; see
    // TcpStream::read_within), and a second one only after a ping.
    auto read = stream.read_within(into, limit.quiet);
    if (!read) return std::unexpected(read.error());
    if (*read) return **read;  // bytes or the end
    // RFC 6455 5.5.2: "A Ping frame MAY be sent after the connection is established"; a live
    // endpoint answers it with a pong (5.5.3), which browsers do on their own.
    if (auto pinged = write_frame(websocket::kOpPing, std::nullopt); !pinged) {
        return std::unexpected(pinged.error());
    }
    read = stream.read_within(into, limit.answer);
    if (!read) return std::unexpected(read.error());
    if (*read) return **read;
    // 1001: "an endpoint is going away"; the peer is not answering, so nothing is waited for.
    (void)close_ws(websocket::kCloseGoingAway, std::nullopt);
    return std::unexpected(net::protocol_error("WebSocket idle: no answer to a ping"));
}

IoResult<void> HttpRequest::receive_ws(bool wait_first) {
    // Waited for only when the frames read so far need more: a frame that stops half-way is as
    // quiet as no frame at all. Then one read takes what the socket holds, up to kWsReadSize.
    const auto into = frames_.space(kWsReadSize);
    IoResult<std::size_t> read;
    if (wait_first && idle_limit) {
        read = read_awake(into, *idle_limit);
    } else {
        do {
            read = stream.read(into);
        } while (!read && net::sys::interrupted(read.error().code));
    }
    if (!read) {
        return std::unexpected(read.error());
    }
    if (*read == 0) {
        return std::unexpected(net::end_of_stream());
    }
    frames_.commit(*read);
    return {};
}

IoResult<std::size_t> HttpRequest::read_frame(std::vector<uint8_t>& message) {
    const std::size_t start = message.size();
    for (;;) {
        auto frame = frames_.next_frame(message);
        if (!frame) {
            return std::unexpected(fail_ws(std::move(frame.error())));
        }
        if (*frame) {
            return **frame;
        }
        if (auto more = receive_ws(); !more) {
            message.resize(start);  // a frame cut short adds nothing
            return std::unexpected(more.error());
        }
    }
}

IoResult<std::optional<websocket::WsMessage>> HttpRequest::take_ws() {
    for (;;) {
        auto event = frames_.next();
        if (!event) {
            return std::unexpected(fail_ws(std::move(event.error())));
        }
        if (std::holds_alternative<websocket::NeedMore>(*event)) {
            return std::nullopt;
        } else if (const auto* ping = std::get_if<websocket::Ping>(&*event)) {
            // RFC 6455 5.5.3: "A Pong frame sent in response to a Ping frame must have identical
            // "Application data" as found in the message body of the Ping frame being replied to."
            if (auto pong = write_ws_pong(ping->payload); !pong) {
                return std::unexpected(pong.error());
            }
        } else if (const auto* close = std::get_if<websocket::CloseFrame>(&*event)) {
            // RFC 6455 5.5.1: "If an endpoint receives a Close frame and did not previously send
            // a Close frame, the endpoint MUST send a Close frame in response. (When sending a
            // Close frame in response, the endpoint typically echos the status code it
            // received.)" An empty close is answered empty. "After both sending and receiving a
            // Close message, an endpoint ... MUST close the underlying TCP connection": the
            // caller ends the connection on Close.
            (void)close_ws(close->status, std::nullopt);
            return websocket::Close{};
        } else if (auto* text = std::get_if<websocket::Text>(&*event)) {
            return std::move(*text);
        } else {
            return std::move(std::get<websocket::Binary>(*event));
        }
    }
}

IoResult<websocket::WsMessage> HttpRequest::read_ws() {
    for (;;) {
        auto message = take_ws();
        if (!message) {
            return std::unexpected(message.error());
        }
        if (*message) {
            return std::move(**message);
        }
        if (auto more = receive_ws(); !more) {
            return std::unexpected(more.error());
        }
    }
}

IoResult<std::optional<websocket::WsMessage>> HttpRequest::read_ws_ready(bool read) {
    auto message = take_ws();
    if (!message || *message || !read) {
        return message;
    }
    // The caller has seen the socket ready: the read does not wait, and the idle limit is the
    // caller's to keep.
    if (auto more = receive_ws(false); !more) {
        return std::unexpected(more.error());
    }
    return take_ws();
}

std::span<const uint8_t> HttpRequest::ws_unread() const { return frames_.unread(); }

IoResult<void> HttpRequest::write_frame(uint8_t opcode,
                                        std::optional<std::span<const uint8_t>> payload) {
    // Header and payload in one buffer and one write, so each frame leaves whole. The buffer is
    // the connection's own, used again for the next frame.
    websocket::encode_frame_into(frame_out_, opcode, payload.value_or(std::span<const uint8_t>()));
    auto written =
        write_limit ? stream.write_all(frame_out_, std::chrono::steady_clock::now() + *write_limit)
                    : stream.write_all(frame_out_);
    if (frame_out_.capacity() > websocket::kKeptBufferSize) {
        std::vector<uint8_t>().swap(frame_out_);
    }
    if (!written) {
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
