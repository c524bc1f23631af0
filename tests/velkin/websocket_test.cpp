// RFC 6455 on an upgraded request: the opening handshake, reading client frames into messages,
// and the frames the server writes.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "helpers.h"
#include "velkin/http/websocket.h"
#include "wire.h"

namespace velkin_test {
namespace {

namespace ws = http::websocket;
using kx_agent::test::from_hex;
using kx_agent::test::to_hex;

constexpr std::string_view kKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr std::string_view kAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

TEST(Handshake, AcceptValueOfTheRfcExample) {
    // RFC 6455 1.3.
    EXPECT_EQ(ws::accept_value(kKey), kAccept);
    http::HttpRequest request(net::TcpStream(-1));
    request.header_names = {"sec-websocket-key"};
    request.header_values = {std::string(kKey)};
    EXPECT_EQ(request.get_key_accept(), kAccept);
}

// What parsing an upgrade head wrote to the peer, and whether it succeeded.
std::pair<bool, std::string> handshake_of(const std::string& head) {
    net::TcpStream client(-1);
    bool ok = false;
    {
        auto parsed = parse(head);
        ok = parsed.request.has_value();
        client = std::move(parsed.client);
    }  // the request, if any, closes the server end
    return {ok, text(read_until_close(client))};
}

TEST(Handshake, AnswersWhileParsing) {
    const std::string accept_lines =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        std::string(kAccept) + "\r\n";
    const std::string key_line = "Sec-WebSocket-Key: " + std::string(kKey) + "\r\n";
    const std::string long_cookie(3000, 'c');
    struct Case {
        const char* name;
        std::string head;
        std::string response;
    };
    const Case cases[] = {
        {"plain", "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n" + key_line + "\r\n",
         accept_lines + "\r\n"},
        {"POST is upgraded too, names in any case",
         "POST /x HTTP/1.1\r\nupgrade: websocket\r\nSEC-WEBSOCKET-KEY: " + std::string(kKey) +
             "\r\n\r\n",
         accept_lines + "\r\n"},
        {"first protocol offered",
         "GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + key_line +
             "Sec-WebSocket-Protocol: chat, superchat\r\n\r\n",
         accept_lines + "Sec-WebSocket-Protocol: chat\r\n\r\n"},
        {"protocol list starting with a comma",
         "GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + key_line +
             "Sec-WebSocket-Protocol: ,x\r\n\r\n",
         accept_lines + "Sec-WebSocket-Protocol: \r\n\r\n"},
        {"cookie echoed",
         "GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + key_line + "Cookie: a=1; b=2\r\n\r\n",
         accept_lines + "Cookie: a=1; b=2\r\n\r\n"},
        {"a long cookie and protocol still give a whole head",
         "GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + key_line + "Sec-WebSocket-Protocol: " +
             std::string(2000, 'p') + "\r\nCookie: " + long_cookie + "\r\n\r\n",
         accept_lines + "Sec-WebSocket-Protocol: " + std::string(2000, 'p') +
             "\r\nCookie: " + long_cookie + "\r\n\r\n"},
        {"not an upgrade: nothing written", "GET / HTTP/1.1\r\n" + key_line + "\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [ok, response] = handshake_of(c.head);
        EXPECT_TRUE(ok);
        EXPECT_EQ(response, c.response);
    }
}

TEST(Handshake, AnUpgradeWithoutKeyFailsWithoutWriting) {
    const auto [ok, response] = handshake_of("GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(response, "");
}

// A request over a socketpair for frame tests; its reads time out rather than hang a test.
struct WsPair {
    WsPair() {
        auto parsed = parse("GET / HTTP/1.1\r\n\r\n");
        request.emplace(std::move(parsed.request.value()));
        client = std::move(parsed.client);
        EXPECT_TRUE(request->stream.set_read_timeout(std::chrono::milliseconds(3000)));
    }
    // Everything the server has written so far (its write side is closed for this).
    Bytes written() {
        EXPECT_TRUE(request->stream.shutdown(SHUT_WR));
        return read_until_close(client);
    }
    std::optional<http::HttpRequest> request;
    net::TcpStream client{net::sys::kInvalidSocket};
};

enum class Kind { Text, Binary, Close, Error };

struct ReadCase {
    const char* name;
    Bytes input;
    Kind kind;
    Bytes data;                                // the message's payload, or the error text
    std::string output = "";                   // what the server wrote, hex
    std::optional<Bytes> then = std::nullopt;  // a binary message the next read_ws returns
};

Bytes frames(std::initializer_list<ClientFrame> list) {
    Bytes all;
    for (const auto& frame : list) {
        const auto encoded = encode(frame);
        all.insert(all.end(), encoded.begin(), encoded.end());
    }
    return all;
}

Bytes pattern(std::size_t n) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return data;
}

// What a parser makes of `input` fed `first` bytes, then `piece` bytes at a time, answered as
// read_ws answers: the messages and how it ends ("more" when the input ends first), and the
// pongs and close frames the server would write.
struct Outcome {
    std::vector<std::string> results;
    Bytes written;
    bool operator==(const Outcome&) const = default;
};

// The bytes as they are, copied whole (a megabyte a byte at a time slows the Debug build).
std::string as_string(const Bytes& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Outcome parse_in_pieces(const Bytes& input, std::size_t first, std::size_t piece) {
    ws::FrameParser parser;
    Outcome out;
    const auto write = [&](uint8_t opcode, const Bytes& payload) {
        const Bytes frame = ws::encode_frame(opcode, payload);
        out.written.insert(out.written.end(), frame.begin(), frame.end());
    };
    const auto status_bytes = [](std::optional<unsigned> status) {
        return status ? Bytes{static_cast<uint8_t>(*status >> 8), static_cast<uint8_t>(*status)}
                      : Bytes{};
    };
    for (std::size_t fed = 0;;) {
        auto event = parser.next();
        if (!event) {
            if (event.error().close) write(ws::kOpClose, status_bytes(event.error().close));
            out.results.push_back("error:" + event.error().message);
            return out;
        }
        if (std::holds_alternative<ws::NeedMore>(*event)) {
            if (fed == input.size()) {
                out.results.push_back("more");
                return out;
            }
            const std::size_t n = std::min(fed == 0 ? first : piece, input.size() - fed);
            parser.feed(std::span(input).subspan(fed, n));
            fed += n;
        } else if (const auto* ping = std::get_if<ws::Ping>(&*event)) {
            write(ws::kOpPong, ping->payload);
        } else if (const auto* close = std::get_if<ws::CloseFrame>(&*event)) {
            write(ws::kOpClose, status_bytes(close->status));
            out.results.push_back("close");
            return out;
        } else if (const auto* t = std::get_if<ws::Text>(&*event)) {
            out.results.push_back("text:" + t->text);
        } else {
            auto& data = std::get<ws::Binary>(*event).data;
            out.results.push_back("binary:" + as_string(data));
            // As the relay does: the message's buffer, bytes and all, gathers the next one.
            parser.give_back(std::move(data));
        }
    }
}

// The parser alone gives the same as read_ws however the input is cut: in one piece, byte by
// byte (a long input in pieces of an odd size), and in two pieces cut at each place (for a long
// input, each place in its first frame head).
void check_parser(const ReadCase& c) {
    Outcome expected{{}, from_hex(c.output)};
    switch (c.kind) {
    case Kind::Text: expected.results = {"text:" + text(c.data)}; break;
    case Kind::Binary: expected.results = {"binary:" + as_string(c.data)}; break;
    case Kind::Close: expected.results = {"close"}; break;
    case Kind::Error:
        // The end of the stream is the reader's to report; the parser waits for more.
        expected.results = {text(c.data) == "failed to fill whole buffer: end of stream"
                                ? "more"
                                : "error:" + text(c.data)};
        break;
    }
    if (c.then) expected.results.push_back("binary:" + as_string(*c.then));
    if (c.kind == Kind::Text || c.kind == Kind::Binary) expected.results.push_back("more");
    const std::size_t n = c.input.size();
    EXPECT_EQ(parse_in_pieces(c.input, n, n), expected) << "in one piece";
    const std::size_t piece = n <= 70000 ? 1 : 4093;
    EXPECT_EQ(parse_in_pieces(c.input, piece, piece), expected) << "in pieces of " << piece;
    for (std::size_t cut = 1; cut < n && (n <= 1024 || cut < 14); ++cut) {
        EXPECT_EQ(parse_in_pieces(c.input, cut, n), expected) << "cut at " << cut;
    }
}

void check_read(const ReadCase& c) {
    SCOPED_TRACE(c.name);
    check_parser(c);
    WsPair pair;
    std::thread writer([&] {
        (void)pair.client.write_all(c.input);
        (void)pair.client.shutdown(SHUT_WR);
    });
    const auto message = pair.request->read_ws();
    if (c.kind == Kind::Error) {
        writer.join();
        ASSERT_FALSE(message);
        EXPECT_EQ(message.error().message, text(c.data));
    } else {
        if (c.then) {
            // Sent in the same write as the first: only what the first read kept has it.
            const auto second = pair.request->read_ws();
            ASSERT_TRUE(second) << second.error().message;
            ASSERT_TRUE(std::holds_alternative<ws::Binary>(*second));
            EXPECT_EQ(to_hex(std::get<ws::Binary>(*second).data), to_hex(*c.then));
        }
        writer.join();
        ASSERT_TRUE(message) << message.error().message;
        ASSERT_EQ(message->index(), static_cast<std::size_t>(c.kind));
        if (const auto* t = std::get_if<ws::Text>(&*message)) {
            EXPECT_EQ(t->text, text(c.data));
        }
        if (const auto* b = std::get_if<ws::Binary>(&*message)) {
            EXPECT_EQ(b->data.size(), c.data.size());
            EXPECT_TRUE(b->data == c.data);
        }
    }
    EXPECT_EQ(to_hex(pair.written()), to_hex(from_hex(c.output)));
}

TEST(ReadWs, Messages) {
    const Bytes b126 = pattern(126);
    const Bytes b65536 = pattern(65536);
    const ReadCase cases[] = {
        {"masked binary", frames({{0x82, {1, 2, 3}}}), Kind::Binary, {1, 2, 3}},
        {"text", frames({{0x81, bytes("hi")}}), Kind::Text, bytes("hi")},
        {"fragments joined, a ping between answered",
         frames({{0x02, bytes("ab")}, {0x89, bytes("xyz")}, {0x80, bytes("cd")}}), Kind::Binary,
         bytes("abcd"), "8A 03 78 79 7A"},
        {"fragmented text", frames({{0x01, bytes("he")}, {0x00, bytes("l")}, {0x80, bytes("lo")}}),
         Kind::Text, bytes("hello")},
        {"126 bytes in the 16-bit form", frames({{0x82, b126}}), Kind::Binary, b126},
        {"5 bytes in the 16-bit form", frames({{0x82, bytes("12345"), 126}}), Kind::Binary,
         bytes("12345")},
        {"65536 bytes in the 64-bit form", frames({{0x82, b65536}}), Kind::Binary, b65536},
        {"close with status", frames({{0x88, {0x03, 0xE8}}}), Kind::Close, {}, "88 02 03 E8"},
        {"close without status", frames({{0x88, {}}}), Kind::Close, {}, "88 00"},
        {"close between fragments",
         frames({{0x02, bytes("ab")}, {0x88, {}}}),
         Kind::Close,
         {},
         "88 00"},
        {"empty ping", frames({{0x89, {}}, {0x82, bytes("z")}}), Kind::Binary, bytes("z"), "8A 00"},
        {"ping with payload", frames({{0x89, {1, 2, 3}}, {0x82, bytes("z")}}), Kind::Binary,
         bytes("z"), "8A 03 01 02 03"},
        {"pong ignored", frames({{0x8A, bytes("p")}, {0x82, bytes("z")}}), Kind::Binary,
         bytes("z")},
        {"ill-formed UTF-8 replaced",
         frames({{0x81, bytes("a\xFF"
                              "b\xE2\x82 \xED\xA0\x80 \xF0\x9F\x98\x80")}}),
         Kind::Text,
         bytes("a\xEF\xBF\xBD"
               "b\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xF0\x9F\x98\x80")},
        {"end of stream inside a frame", Bytes{0x82, 0x85, 1, 2}, Kind::Error,
         bytes("failed to fill whole buffer: end of stream")},
        {"unmasked: refused without a close frame", Bytes{0x82, 0x03, 1, 2, 3}, Kind::Error,
         bytes("WebSocket data from client must be masked")},
        {"two messages in one write",
         frames({{0x82, {1, 2}}, {0x82, {3}}}),
         Kind::Binary,
         {1, 2},
         "",
         Bytes{3}},
        {"a text, a ping and a fragmented binary in one write",
         frames({{0x81, bytes("hi")}, {0x89, {9}}, {0x02, {4}}, {0x80, {5, 6}}}), Kind::Text,
         bytes("hi"), "8A 01 09", Bytes{4, 5, 6}},
    };
    for (const auto& c : cases) {
        check_read(c);
    }
}

// RFC 6455 5.2, 5.4, 5.5 and 7.4: frames an endpoint must not accept. Each fails the connection
// with exactly one close frame, status 1002, and nothing else: no pong, no message.
TEST(ReadWs, FailsTheConnectionOnProtocolErrors) {
    const std::string failed = "88 02 03 EA";
    const auto error = [](std::string why) { return bytes("WebSocket protocol error: " + why); };
    std::vector<ReadCase> cases = {
        {"RSV1 on binary", frames({{0xC2, bytes("r")}}), Kind::Error, error("RSV bits set"),
         failed},
        {"RSV2 on text", frames({{0xA1, bytes("r")}}), Kind::Error, error("RSV bits set"), failed},
        {"RSV3 on a continuation", frames({{0x02, bytes("a")}, {0x90, bytes("b")}}), Kind::Error,
         error("RSV bits set"), failed},
        {"RSV1 on a ping: no pong", frames({{0xC9, bytes("p")}}), Kind::Error,
         error("RSV bits set"), failed},
        {"ping without FIN: no pong", frames({{0x09, bytes("p")}}), Kind::Error,
         error("fragmented control frame"), failed},
        {"close without FIN", frames({{0x08, {0x03, 0xE8}}}), Kind::Error,
         error("fragmented control frame"), failed},
        {"ping of 126 bytes: no pong", frames({{0x89, pattern(126)}}), Kind::Error,
         error("control frame longer than 125 bytes"), failed},
        {"ping of 5 bytes in the 16-bit form", frames({{0x89, bytes("12345"), 126}}), Kind::Error,
         error("control frame longer than 125 bytes"), failed},
        {"pong of 126 bytes", frames({{0x8A, pattern(126)}}), Kind::Error,
         error("control frame longer than 125 bytes"), failed},
        {"close of 126 bytes", frames({{0x88, concat({{0x03, 0xE8}, pattern(124)})}}), Kind::Error,
         error("control frame longer than 125 bytes"), failed},
        {"lone continuation with FIN", frames({{0x80, bytes("c")}}), Kind::Error,
         error("continuation frame without a message"), failed},
        {"lone continuation without FIN", frames({{0x00, bytes("c")}}), Kind::Error,
         error("continuation frame without a message"), failed},
        {"text inside a fragmented binary", frames({{0x02, bytes("ab")}, {0x81, bytes("x")}}),
         Kind::Error, error("new message inside a fragmented one"), failed},
        {"binary inside a fragmented text",
         frames({{0x01, bytes("ab")}, {0x89, {}}, {0x02, bytes("x")}}), Kind::Error,
         error("new message inside a fragmented one"), "8A 00 " + failed},
        {"close with a 1-byte body", frames({{0x88, {0x03}}}), Kind::Error,
         error("close frame with a 1-byte body"), failed},
    };
    for (const uint8_t opcode : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
        const std::string op = std::to_string(opcode);
        cases.push_back({"reserved opcode",
                         frames({{static_cast<uint8_t>(0x80 | opcode), bytes("x")}}), Kind::Error,
                         bytes("Invalid op_code " + op), failed});
        cases.push_back({"reserved opcode without FIN inside a message",
                         frames({{0x02, bytes("a")}, {opcode, bytes("x")}}), Kind::Error,
                         bytes("Invalid op_code " + op), failed});
    }
    for (const unsigned status :
         {0u, 999u, 1004u, 1005u, 1006u, 1015u, 1016u, 2000u, 2999u, 5000u, 65535u}) {
        cases.push_back(
            {"close status that may not be sent",
             frames(
                 {{0x88, {static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status), 'x'}}}),
             Kind::Error, error("close status " + std::to_string(status) + " may not be sent"),
             failed});
    }
    for (const auto& c : cases) {
        check_read(c);
    }
}

// RFC 6455 5.5.1: a close is answered with a close that echoes its status (and only the status).
TEST(ReadWs, EchoesTheCloseStatus) {
    std::vector<ReadCase> cases = {
        {"empty close answered empty", frames({{0x88, {}}}), Kind::Close, {}, "88 00"},
        {"status with a reason",
         frames({{0x88, concat({{0x03, 0xE8}, bytes("bye")})}}),
         Kind::Close,
         {},
         "88 02 03 E8"},
        {"close inside a fragmented message",
         frames({{0x01, bytes("ab")}, {0x88, {0x03, 0xE9}}}),
         Kind::Close,
         {},
         "88 02 03 E9"},
    };
    for (const unsigned status : {1000u, 1001u, 1002u, 1003u, 1007u, 1008u, 1009u, 1010u, 1011u,
                                  1012u, 1014u, 3000u, 3999u, 4000u, 4999u}) {
        const Bytes body{static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status)};
        cases.push_back({"status that may be sent",
                         frames({{0x88, body}}),
                         Kind::Close,
                         {},
                         "88 02 " + to_hex(body)});
    }
    for (const auto& c : cases) {
        check_read(c);
    }
}

// RFC 6455 5.1: an unmasked frame is refused on its first two bytes, and none of its bytes is
// taken: what follows its head is never read as a payload.
TEST(ReadWs, RefusesAnUnmaskedFrameAndReadsNothingMore) {
    ws::FrameParser parser;
    parser.feed(Bytes{0x82, 0x03});
    const auto refused = parser.next();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "WebSocket data from client must be masked");
    EXPECT_EQ(refused.error().close, std::nullopt);
    parser.feed(Bytes{1, 2, 3});  // the refusal stands, and nothing is taken
    const auto again = parser.next();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message, refused.error().message);
    EXPECT_EQ(Bytes(parser.unread().begin(), parser.unread().end()), (Bytes{0x82, 0x03, 1, 2, 3}));
    WsPair pair;
    send_all(pair.client, Bytes{0x82, 0x03, 1, 2, 3});
    const auto message = pair.request->read_ws();
    ASSERT_FALSE(message);
    EXPECT_EQ(message.error().message, "WebSocket data from client must be masked");
    const auto unread = pair.request->ws_unread();
    EXPECT_EQ(Bytes(unread.begin(), unread.end()), (Bytes{0x82, 0x03, 1, 2, 3}));
    EXPECT_EQ(pair.written(), Bytes{});  // no close frame
}

// A frame header that announces `length` bytes; no payload follows.
Bytes too_big(uint64_t length, std::size_t gathered) {
    return bytes("WebSocket message too big: a frame of " + std::to_string(length) +
                 " bytes after " + std::to_string(gathered) +
                 " would pass the limit of 1048576 bytes");
}

Bytes header_only(uint8_t first, uint64_t length) {
    Bytes header{first, 0xFF};
    for (int shift = 56; shift >= 0; shift -= 8) {
        header.push_back(static_cast<uint8_t>(length >> shift));
    }
    return header;
}

TEST(ReadWs, BoundsTheMessageBeforeReadingOrAllocating) {
    const Bytes half = pattern(ws::kMaxMessageSize / 2);
    const Bytes full = pattern(ws::kMaxMessageSize);
    const std::string refused = "88 02 03 F1";  // close 1009
    const ReadCase cases[] = {
        {"exactly the bound", frames({{0x82, full}}), Kind::Binary, full},
        {"fragments up to the bound", frames({{0x02, half}, {0x80, half}}), Kind::Binary,
         concat({half, half})},
        {"one byte past", header_only(0x82, ws::kMaxMessageSize + 1), Kind::Error,
         too_big(ws::kMaxMessageSize + 1, 0), refused},
        {"a 2^63 length", header_only(0x82, uint64_t{1} << 63), Kind::Error,
         too_big(uint64_t{1} << 63, 0), refused},
        {"the largest 64-bit length", header_only(0x82, UINT64_MAX), Kind::Error,
         too_big(UINT64_MAX, 0), refused},
        {"fragments past the bound",
         concat({frames({{0x02, half}, {0x00, half}}), header_only(0x80, 1)}), Kind::Error,
         too_big(1, ws::kMaxMessageSize), refused},
        {"a ping inside a full message is answered, not counted",
         frames({{0x02, full}, {0x89, {7}}, {0x80, {}}}), Kind::Binary, full, "8A 01 07"},
    };
    for (const auto& c : cases) {
        check_read(c);
    }
}

// A quiet peer is pinged once; one that answers (any frame) is read on, one that does not is
// closed with 1001 and the read fails with the idle limit's error (not a time-out's). The read
// waits out the quiet time itself, whatever read time-out the stream had before: the ping goes
// out after the quiet time, not sooner, and the close after the answer time more.
TEST(ReadWs, PingsAQuietPeerAndClosesOneThatDoesNotAnswer) {
    struct Case {
        const char* name;
        Bytes sent;
        std::optional<std::chrono::milliseconds> read_timeout;  // the stream's own, before
        http::IdleLimit limit;
    };
    const Case cases[] = {
        {"nothing sent", {}, 3000ms, {50ms, 100ms}},
        {"a frame that stops half-way", {0x82, 0x85, 1, 2}, 3000ms, {50ms, 100ms}},
        {"a stream without a read time-out", {}, std::nullopt, {50ms, 100ms}},
        {"a read time-out shorter than the quiet time", {}, 10ms, {150ms, 100ms}},
        {"an answer time longer than the quiet time", {}, 3000ms, {50ms, 200ms}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WsPair pair;
        ASSERT_TRUE(pair.request->stream.set_read_timeout(c.read_timeout));
        pair.request->idle_limit = c.limit;
        send_all(pair.client, c.sent);
        const auto started = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration pinged_after{};
        std::thread peer([&] {
            EXPECT_EQ(to_hex(read_n(pair.client, 2)), "89 00");
            pinged_after = std::chrono::steady_clock::now() - started;
        });
        const auto message = pair.request->read_ws();
        const auto failed_after = std::chrono::steady_clock::now() - started;
        peer.join();
        ASSERT_FALSE(message);
        EXPECT_EQ(message.error().message, "WebSocket idle: no answer to a ping");
        EXPECT_EQ(to_hex(read_for(pair.client, 200ms)), "88 02 03 E9");
        // The system's timer may end a wait up to a tick (a few ms) early.
        EXPECT_GE(pinged_after, c.limit.quiet - 10ms);
        EXPECT_LT(pinged_after, c.limit.quiet + 2s);
        EXPECT_GE(failed_after, c.limit.quiet + c.limit.answer - 20ms);
        EXPECT_LT(failed_after, c.limit.quiet + c.limit.answer + 2s);
    }
}

// A peer that answers each ping is read on, and pinged again each time it is quiet again: the
// quiet time counts afresh after every answer, neither the answer time in its place (shorter
// or longer) nor the stream's own read time-out.
TEST(ReadWs, PingsAgainAfterEachQuietTime) {
    const http::IdleLimit limits[] = {{50ms, 5s}, {300ms, 50ms}};
    for (const auto& limit : limits) {
        SCOPED_TRACE(limit.quiet.count());
        WsPair pair;
        pair.request->idle_limit = limit;
        constexpr int kRounds = 3;
        std::vector<std::chrono::steady_clock::duration> pinged_after;
        std::thread peer([&] {
            auto quiet_since = std::chrono::steady_clock::now();
            for (int round = 0; round < kRounds; ++round) {
                // The ping, then the answer and a message.
                if (to_hex(read_n(pair.client, 2)) != "89 00") break;
                pinged_after.push_back(std::chrono::steady_clock::now() - quiet_since);
                quiet_since = std::chrono::steady_clock::now();
                send_all(pair.client,
                         concat({encode({0x8A, {}}),
                                 encode({0x82, bytes("go" + std::to_string(round))})}));
            }
        });
        for (int round = 0; round < kRounds; ++round) {
            const auto message = pair.request->read_ws();
            ASSERT_TRUE(message) << message.error().message;
            EXPECT_EQ(text(std::get<ws::Binary>(*message).data), "go" + std::to_string(round));
        }
        peer.join();
        ASSERT_EQ(pinged_after.size(), static_cast<std::size_t>(kRounds));
        for (const auto after : pinged_after) {
            EXPECT_GE(after, limit.quiet - 10ms);
            EXPECT_LT(after, limit.quiet + 2s);
        }
    }
}

TEST(ReadFrame, ReturnsTheFirstHeaderByteAndAppends) {
    WsPair pair;
    send_all(pair.client, frames({{0x41, bytes("xy")}}));  // RSV2 set, no FIN, text
    std::vector<uint8_t> buffer = bytes("ab");
    const auto first = pair.request->read_frame(buffer);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, 0x41u);
    EXPECT_EQ(text(buffer), "abxy");
}

TEST(WriteFrame, HeadersAndPayloadInOneWrite) {
    struct Case {
        std::size_t size;
        std::string header;
    };
    const Case cases[] = {
        {0, "82 00"},         {1, "82 01"},           {125, "82 7D"},
        {126, "82 7E 00 7E"}, {65535, "82 7E FF FF"}, {65536, "82 7F 00 00 00 00 00 01 00 00"},
    };
    // SOCK_SEQPACKET keeps each write a record of its own: one read gets the whole frame. One
    // request writes them all, growing and then shrinking: the buffer it keeps between frames
    // carries nothing of the frame before.
    auto pair = socket_pair(SOCK_SEQPACKET);
    http::HttpRequest request(std::move(pair.server));
    std::vector<Case> order(std::begin(cases), std::end(cases));
    order.insert(order.end(), std::rbegin(cases), std::rend(cases));
    for (const auto& c : order) {
        SCOPED_TRACE(c.size);
        const Bytes payload = pattern(c.size);
        ASSERT_TRUE(request.write_ws_binary(payload));
        Bytes record(70000);
        const auto n = pair.client.read(record);
        ASSERT_TRUE(n);
        record.resize(*n);
        const Bytes header = from_hex(c.header);
        EXPECT_EQ(record, concat({header, payload}));
    }
}

TEST(WriteFrame, ControlFrames) {
    using Write = std::function<http::IoResult<void>(http::HttpRequest&)>;
    const Bytes bye = bytes("bye");
    const std::pair<Write, std::string> cases[] = {
        {[&](http::HttpRequest& r) { return r.close_ws(1000, bye); }, "88 05 03 E8 62 79 65"},
        {[&](http::HttpRequest& r) { return r.close_ws(1000, std::nullopt); }, "88 02 03 E8"},
        {[&](http::HttpRequest& r) { return r.close_ws(std::nullopt, bye); }, "88 00"},
        {[&](http::HttpRequest& r) { return r.close_ws(std::nullopt, std::nullopt); }, "88 00"},
        {[&](http::HttpRequest& r) { return r.close_ws(0x12345, std::nullopt); }, "88 02 23 45"},
        {[&](http::HttpRequest& r) { return r.write_ws_pong(std::nullopt); }, "8A 00"},
        {[&](http::HttpRequest& r) {
             return r.write_ws_pong(Bytes{1, 2, 3});
         },
         "8A 03 01 02 03"},
        {[&](http::HttpRequest& r) { return r.write_frame(1, bytes("hi")); }, "81 02 68 69"},
    };
    for (const auto& [write, expected] : cases) {
        SCOPED_TRACE(expected);
        WsPair pair;
        ASSERT_TRUE(write(*pair.request));
        EXPECT_EQ(to_hex(pair.written()), to_hex(from_hex(expected)));
    }
}

TEST(WriteFrame, FailsWhenThePeerHasGone) {
    WsPair pair;
    pair.client = net::TcpStream(-1);
    const auto written = pair.request->write_ws_binary(bytes("x"));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, EPIPE);
}

TEST(WriteFrame, APeerThatTakesAFewBytesAtATimeFailsAtTheDeadline) {
    // Every send passes some bytes before its time-out: that alone would never end the write.
    WsPair pair;
    ASSERT_TRUE(pair.request->stream.set_write_timeout(std::chrono::seconds(2)));
    ASSERT_TRUE(pair.client.set_read_timeout(std::chrono::milliseconds(100)));
    pair.request->write_limit = std::chrono::milliseconds(500);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::array<uint8_t, 1024> sink{};
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done && std::chrono::steady_clock::now() < end) {
            (void)pair.client.read(sink);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto written = pair.request->write_ws_binary(Bytes(8 * 1024 * 1024, 'x'));
    done = true;
    reader.join();
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "the peer took too long to take a write");
}

}  // namespace
}  // namespace velkin_test
