// The WebSocket frame parser fed a client's bytes straight from memory, answered as read_ws
// answers: a pong for each ping, the close echoed, a close frame for a refusal that asks for
// one. Each binary message is echoed as the relay answers a call, so the writer's three length
// forms are reached too. Reading ends at a close, a refusal or the end of the input.
//
// The input is parsed twice, in one piece and a byte at a time: both must give the same
// messages, the same end and the same answers. All the server would write must be a sequence
// of well-formed server frames (RFC 6455 5.2): FIN set, RSV clear, unmasked, the shortest
// length form, and only binary, close and pong frames, each pong no longer than a control
// frame's 125 bytes, and at most one close frame, the last, empty or carrying a status that
// may be sent.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "velkin/http/frame_parser.h"

namespace {

namespace websocket = vornic::velkin::http::websocket;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "server frames broken: %s\n", what);
    std::abort();
}

void check_frames(std::span<const uint8_t> out, std::size_t messages_echoed) {
    std::size_t binary = 0;
    while (!out.empty()) {
        if (out.size() < 2) fail("frame header cut short");
        const uint8_t first = out[0];
        const uint8_t opcode = first & 0x0F;
        if ((first & 0xF0) != 0x80) fail("FIN clear or RSV set");
        if (opcode != websocket::kOpBinary && opcode != websocket::kOpClose &&
            opcode != websocket::kOpPong)
            fail("unexpected opcode");
        if (out[1] & 0x80) fail("server frame masked");
        uint64_t length = out[1] & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            if (out.size() < 4) fail("16-bit length cut short");
            length = (uint64_t{out[2]} << 8) | out[3];
            if (length < 126) fail("16-bit form for a short length");
            header = 4;
        } else if (length == 127) {
            if (out.size() < 10) fail("64-bit length cut short");
            length = 0;
            for (int i = 2; i < 10; ++i) length = (length << 8) | out[static_cast<std::size_t>(i)];
            if (length <= 0xFFFF) fail("64-bit form for a 16-bit length");
            header = 10;
        }
        if (out.size() - header < length) fail("payload cut short");
        if (opcode == websocket::kOpBinary) ++binary;
        if (opcode == websocket::kOpPong && length > 125) fail("pong longer than 125 bytes");
        if (opcode == websocket::kOpClose) {
            // The close frame ends what the server says: an empty one or a bare status code that
            // an endpoint may send (the client's echoed, or 1002 or 1009 of the server's own).
            if (out.size() != header + length) fail("frames after a close frame");
            if (length != 0 && length != 2) fail("close payload neither empty nor a status");
            if (length == 2) {
                const unsigned status = (unsigned{out[header]} << 8) | out[header + 1];
                const bool sendable = (status >= 1000 && status <= 1003) ||
                                      (status >= 1007 && status <= 1014) ||
                                      (status >= 3000 && status <= 4999);
                if (!sendable) fail("close status that may not be sent");
            }
        }
        out = out.subspan(header + static_cast<std::size_t>(length));
    }
    if (binary != messages_echoed) fail("echo count differs from the messages read");
}

// What one parse of the input amounts to.
struct Transcript {
    std::vector<uint8_t> written;  // what the server would write
    std::vector<std::string> texts;
    std::size_t echoed = 0;
    std::string end;  // "close", "more" (the input ran out) or the refusal's text
    bool operator==(const Transcript&) const = default;
};

void write(Transcript& out, uint8_t opcode, std::span<const uint8_t> payload) {
    const auto frame = websocket::encode_frame(opcode, payload);
    out.written.insert(out.written.end(), frame.begin(), frame.end());
}

void write_close(Transcript& out, std::optional<unsigned> status) {
    std::vector<uint8_t> payload;
    if (status) {
        payload = {static_cast<uint8_t>(*status >> 8), static_cast<uint8_t>(*status)};
    }
    write(out, websocket::kOpClose, payload);
}

Transcript parse(std::span<const uint8_t> input, std::size_t piece) {
    websocket::FrameParser parser;
    Transcript out;
    for (;;) {
        auto event = parser.next();
        if (!event) {
            if (event.error().close) write_close(out, event.error().close);
            out.end = event.error().message;
            return out;
        }
        if (std::holds_alternative<websocket::NeedMore>(*event)) {
            if (input.empty()) {
                out.end = "more";
                return out;
            }
            const std::size_t n = std::min(piece, input.size());
            parser.feed(input.first(n));
            input = input.subspan(n);
        } else if (const auto* ping = std::get_if<websocket::Ping>(&*event)) {
            write(out, websocket::kOpPong, ping->payload);
        } else if (const auto* close = std::get_if<websocket::CloseFrame>(&*event)) {
            write_close(out, close->status);
            out.end = "close";
            return out;
        } else if (const auto* text = std::get_if<websocket::Text>(&*event)) {
            out.texts.push_back(text->text);
        } else {
            const auto& data = std::get<websocket::Binary>(*event).data;
            if (data.size() > websocket::kMaxMessageSize) fail("message over the bound");
            write(out, websocket::kOpBinary, data);
            ++out.echoed;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::span<const uint8_t> input(data, size);
    const Transcript whole = parse(input, size);
    if (!(parse(input, 1) == whole)) fail("byte by byte differs from one piece");
    check_frames(whole.written, whole.echoed);
    return 0;
}
