#pragma once
// A request head read from bytes, without any I/O, as FrameParser reads WebSocket frames: the
// bytes a connection received go in; a complete head with what came behind it, "need more", or a
// refusal come out. The caller does the reading (read_header over a socket; a fuzzer or a test
// straight from memory) and the parsing of the head's lines (from_header).
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vornic::velkin::http {

// A head that reaches this size without its blank line ends the connection without a response.
inline constexpr std::size_t kMaxHeadSize = 64 * 1024;

// A head through its blank line, and the bytes received behind it: the first WebSocket frames,
// a pipelined request or a body, which the head's reads may have taken along.
struct Head {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> after;
};

// Bytes that can be no head within the bound.
struct HeadError {
    std::string message;
};

class HeadParser {
public:
    // Adds bytes received.
    void feed(std::span<const uint8_t> bytes);

    // The head once the bytes held end one: at LF CR LF, or at two bare line feeds (which
    // from_header refuses; stopping there answers such a client at once instead of at its
    // deadline). nullopt while they do not; an error once kMaxHeadSize bytes hold no end. A head
    // that ends exactly at the bound is complete. Each byte is looked at once, however the head
    // arrives. After a head has been handed out, the parser starts again, empty.
    std::expected<std::optional<Head>, HeadError> next();

    // The bytes held and not handed out: a head that the peer's end or a deadline cut short.
    std::span<const uint8_t> held() const { return held_; }

private:
    std::vector<uint8_t> held_;
    std::size_t scanned_ = 0;  // held_ before this holds no end of the head
};

}  // namespace vornic::velkin::http
