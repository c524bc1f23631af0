#pragma once
// The client side of RFC 6455 framing (5.2-5.5) read from bytes, without any I/O: the bytes a
// connection received go in, messages, pings, the client's close and refusals come out. The
// caller does the reading and the answering (HttpRequest::read_ws over a socket; a fuzzer or a
// test straight from memory).
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "velkin/http/ws_message.h"

namespace vornic::velkin::http::websocket {

// A frame the connection must not accept. The server sends a close frame with status `close`
// (none: it sends nothing) and ends the connection; `message` says why.
struct FrameError {
    std::optional<unsigned> close;
    std::string message;
};

// The bytes held make no message, ping or close yet.
struct NeedMore {};
// A ping, to be answered by a pong with the same payload (RFC 6455 5.5.3).
struct Ping {
    std::vector<uint8_t> payload;
};
// The client's close frame: the status to echo in the answer (none for an empty body).
struct CloseFrame {
    std::optional<unsigned> status;
};

using Event = std::variant<NeedMore, Text, Binary, Ping, CloseFrame>;

class FrameParser {
public:
    // Where the next bytes received go: room for `size` of them after the bytes held. Only
    // `commit` makes them count.
    std::span<uint8_t> space(std::size_t size);
    // Keeps the first `count` bytes of the last `space` (at most its size).
    void commit(std::size_t count);
    // Copies `bytes` in, as `space` and `commit` would.
    void feed(std::span<const uint8_t> bytes);
    // The bytes held and not yet taken into a frame. After a message has been handed out, they
    // are what the peer sent behind it.
    std::span<const uint8_t> unread() const;

    // The next complete data message, ping or close in the bytes held, or NeedMore; pongs are
    // taken and dropped. A rule is checked as soon as the bytes that decide it are held (the
    // first two for the mask and the frame's kind, the length for the message bound), so a bad
    // frame is refused before its key or payload arrives, and a message is never gathered past
    // kMaxMessageSize. Payload is unmasked into the message as it comes. A refusal is final:
    // every later call returns it again and takes nothing.
    std::expected<Event, FrameError> next();

    // One frame of any kind, with only the mask and the size rule: its unmasked payload is
    // appended to `message` (which counts against kMaxMessageSize) and its first header byte
    // (FIN, RSV1-3, opcode) returned once the frame is complete; nullopt while it is not, in
    // which case the next call must get the same `message`.
    std::expected<std::optional<uint8_t>, FrameError> next_frame(std::vector<uint8_t>& message);

    // The buffer of a message handed out and done with, to gather the next message into: a
    // connection that relays one message after another then allocates none. Kept only while no
    // message is being gathered and when it is at most kKeptBufferSize.
    void give_back(std::vector<uint8_t>&& buffer);

private:
    enum class Stage : uint8_t { head, payload };

    // Takes the head of the next frame once the bytes held have all of it; false when they do
    // not yet. `raw` is the caller's message for next_frame; without it the message rules apply.
    std::expected<bool, FrameError> take_head(const std::vector<uint8_t>* raw);
    // Unmasks what is held of the frame's payload onto `into`.
    void take_payload(std::vector<uint8_t>& into);
    // What a complete frame of next() amounts to: nullopt when reading goes on, or when the
    // frame is refused (refused_ then holds why).
    std::optional<Event> finish_frame();
    std::unexpected<FrameError> fail(FrameError error);

    // Not zeroed when it grows: a read fills what it takes, and an idle connection keeps only
    // the pages its reads have touched resident.
    std::unique_ptr<uint8_t[]> input_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // the first byte of input_ not yet taken
    std::size_t end_ = 0;    // the end of the bytes held
    std::size_t room_ = 0;   // the size of the last space
    Stage stage_ = Stage::head;
    std::optional<FrameError> refused_;
    // The frame being read.
    uint8_t first_ = 0;  // FIN, RSV1-3, opcode
    uint64_t left_ = 0;  // payload bytes still to come
    std::array<uint8_t, 4> mask_{};
    std::size_t mask_at_ = 0;  // payload bytes unmasked so far, modulo 4
    // The data frames of the message so far, and its opcode (kNoMessage before its first).
    std::vector<uint8_t> message_;
    uint8_t message_opcode_ = kNoMessage;
    // The control frame being read: control frames may come between the fragments of a message
    // (RFC 6455 5.4), so their payload is kept apart.
    std::vector<uint8_t> control_;
};

// The largest buffer a connection keeps between messages to use again (FrameParser::give_back,
// the frames HttpRequest writes): most calls and replies fit, and a connection that once carried
// a large one does not hold it for its life.
inline constexpr std::size_t kKeptBufferSize = 4 * 1024;

// One unfragmented, unmasked server frame: FIN, the opcode, the shortest length form and the
// payload, ready for one write.
std::vector<uint8_t> encode_frame(uint8_t opcode, std::span<const uint8_t> payload);
// The same frame in `frame`, which is cleared first and keeps its room.
void encode_frame_into(std::vector<uint8_t>& frame, uint8_t opcode,
                       std::span<const uint8_t> payload);

}  // namespace vornic::velkin::http::websocket
