#include "bench/frames.h"

#include <openssl/evp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace kx_agent::bench {
namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

}  // namespace

std::optional<FrameHead> parse_frame_head(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2) return std::nullopt;
    FrameHead head;
    head.first = bytes[0];
    head.masked = (bytes[1] & 0x80) != 0;
    std::size_t at = 2;
    uint64_t length = bytes[1] & 0x7F;
    std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (bytes.size() < at + extended + (head.masked ? 4 : 0)) return std::nullopt;
    if (extended > 0) {
        length = 0;
        for (std::size_t i = 0; i < extended; ++i) length = length << 8 | bytes[at + i];
        at += extended;
    }
    if (head.masked) {
        std::memcpy(head.mask.data(), bytes.data() + at, 4);
        at += 4;
    }
    head.head_size = at;
    head.length = length;
    return head;
}

void append_frame(std::vector<uint8_t>& out, uint8_t opcode, std::span<const uint8_t> payload,
                  const std::array<uint8_t, 4>* mask) {
    const std::size_t n = payload.size();
    const uint8_t mask_bit = mask != nullptr ? 0x80 : 0;
    out.push_back(static_cast<uint8_t>(0x80 | opcode));
    if (n <= 125) {
        out.push_back(static_cast<uint8_t>(mask_bit | n));
    } else if (n <= 0xFFFF) {
        out.push_back(static_cast<uint8_t>(mask_bit | 126));
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(static_cast<uint8_t>(mask_bit | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> shift));
    }
    if (mask == nullptr) {
        out.insert(out.end(), payload.begin(), payload.end());
        return;
    }
    out.insert(out.end(), mask->begin(), mask->end());
    const std::size_t start = out.size();
    out.resize(start + n);
    for (std::size_t i = 0; i < n; ++i) out[start + i] = payload[i] ^ (*mask)[i & 3];
}

std::string accept_value(std::string_view key) {
    std::string input(key);
    input.append(kGuid);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    EVP_Digest(input.data(), input.size(), digest, &digest_length, EVP_sha1(), nullptr);
    unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_length));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

FrameReader::FrameReader(std::size_t max_frame) : buffer_(16 * 1024), max_frame_(max_frame) {}

std::expected<void, std::string> FrameReader::fill(int fd) {
    if (begin_ > 0 && begin_ == end_) begin_ = end_ = 0;
    if (end_ == buffer_.size()) {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        } else {
            buffer_.resize(buffer_.size() * 2);
        }
    }
    for (;;) {
        ssize_t n = ::recv(fd, buffer_.data() + end_, buffer_.size() - end_, 0);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            return {};
        }
        if (n == 0) return std::unexpected(std::string("connection closed by the peer"));
        if (errno == EINTR) continue;
        return std::unexpected(std::string("recv: ") + std::strerror(errno));
    }
}

std::expected<std::string, std::string> FrameReader::read_head(int fd, std::size_t max_head) {
    static constexpr std::string_view kEnd = "\r\n\r\n";
    for (;;) {
        std::string_view seen(reinterpret_cast<const char*>(buffer_.data() + begin_),
                              end_ - begin_);
        if (auto at = seen.find(kEnd); at != std::string_view::npos) {
            std::string head(seen.substr(0, at + kEnd.size()));
            begin_ += head.size();
            return head;
        }
        if (seen.size() > max_head) return std::unexpected(std::string("HTTP head too long"));
        if (auto filled = fill(fd); !filled) return std::unexpected(filled.error());
    }
}

std::expected<Frame, std::string> FrameReader::next(int fd) {
    for (;;) {
        std::span<uint8_t> seen(buffer_.data() + begin_, end_ - begin_);
        if (auto head = parse_frame_head(seen)) {
            if (head->length > max_frame_) return std::unexpected(std::string("frame too long"));
            const std::size_t total = head->head_size + static_cast<std::size_t>(head->length);
            if (seen.size() >= total) {
                std::span<uint8_t> payload = seen.subspan(head->head_size, head->length);
                if (head->masked)
                    for (std::size_t i = 0; i < payload.size(); ++i)
                        payload[i] ^= head->mask[i & 3];
                begin_ += total;
                return Frame{head->opcode(), payload};
            }
            if (total > buffer_.size()) buffer_.resize(total + begin_);
        }
        if (auto filled = fill(fd); !filled) return std::unexpected(filled.error());
    }
}

}  // namespace kx_agent::bench
