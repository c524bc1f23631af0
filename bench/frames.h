#pragma once
// The little of RFC 6455 that the benchmark's own client and echo server share: one frame
// header parser, one frame writer, the accept value, and a buffered reader that pulls whole
// frames off a socket with as few reads as the bytes allow.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kx_agent::bench {

inline constexpr uint8_t kOpBinary = 0x2;
inline constexpr uint8_t kOpClose = 0x8;

struct FrameHead {
    uint8_t first = 0;  // FIN, RSV bits and opcode
    bool masked = false;
    std::array<uint8_t, 4> mask{};
    std::size_t head_size = 0;  // bytes before the payload
    uint64_t length = 0;
    uint8_t opcode() const { return first & 0x0F; }
};

// The head of the frame at the front of `bytes`; nullopt while not all of it has arrived.
std::optional<FrameHead> parse_frame_head(std::span<const uint8_t> bytes);

// Appends one unfragmented frame (FIN set). RFC 6455 5.3: a client masks every frame with a
// fresh key; a server passes no key and sends the payload as it is.
void append_frame(std::vector<uint8_t>& out, uint8_t opcode, std::span<const uint8_t> payload,
                  const std::array<uint8_t, 4>* mask);

// RFC 6455 4.2.2: base64(SHA-1(key + GUID)).
std::string accept_value(std::string_view key);

struct Frame {
    uint8_t opcode = 0;
    std::span<const uint8_t> payload;  // unmasked; valid until the reader's next call
};

class FrameReader {
public:
    explicit FrameReader(std::size_t max_frame = 1 << 20);

    // Reads up to and including the blank line that ends an HTTP head; bytes after it stay
    // buffered for `next`.
    std::expected<std::string, std::string> read_head(int fd, std::size_t max_head = 8192);
    // One whole frame, read in as few recv calls as its bytes arrive in.
    std::expected<Frame, std::string> next(int fd);

private:
    std::expected<void, std::string> fill(int fd);

    std::vector<uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t max_frame_;
};

}  // namespace kx_agent::bench
