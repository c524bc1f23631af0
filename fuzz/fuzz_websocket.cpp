// The WebSocket reader (read_ws) over an upgraded connection whose client sends the input as
// its frames. Each binary message is echoed with write_ws_binary, as the relay answers a call,
// so the writer's three length forms are reached too; reading ends at a close, an error or the
// end of the input.
//
// The client end reads back all the server wrote; it must be a sequence of well-formed server
// frames (RFC 6455 5.2): FIN set, RSV clear, unmasked, the shortest length form, and only
// binary, close and pong frames, each pong no longer than a control frame's 125 bytes, and at
// most one close frame, the last, empty or carrying a status that may be sent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <variant>
#include <vector>

#include "socket_peer.h"
#include "velkin/http/http.h"
#include "velkin/http/ws_message.h"

namespace {

namespace http = vornic::velkin::http;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static tolvane::fuzz::SocketPeer peer;
    const int fd = peer.open({data, size});
    std::size_t echoed = 0;
    {
        http::HttpRequest request(vornic::velkin::net::TcpStream{fd});
        for (int i = 0; i < 256; ++i) {
            auto message = request.read_ws();
            if (!message || std::holds_alternative<websocket::Close>(*message)) break;
            if (const auto* binary = std::get_if<websocket::Binary>(&*message)) {
                if (binary->data.size() > websocket::kMaxMessageSize) fail("message over the bound");
                if (!request.write_ws_binary(binary->data)) break;
                ++echoed;
            }
        }
    }
    check_frames(peer.finish(), echoed);
    return 0;
}
