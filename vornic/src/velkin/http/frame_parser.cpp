// RFC 6455 client frames from bytes (5.2-5.5), and the server's own frames as bytes.
#include "velkin/http/frame_parser.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "velkin/string.h"

namespace vornic::velkin::http::websocket {

namespace {

uint64_t big_endian(std::span<const uint8_t> bytes) {
    uint64_t value = 0;
    for (const uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    return value;
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

// RFC 6455 7.1.7: a connection failed for breaking the protocol is closed with 1002, "an
// endpoint is terminating the connection due to a protocol error" (7.4.1).
FrameError protocol(const std::string& why) {
    return FrameError{kCloseProtocolError, "WebSocket protocol error: " + why};
}

// The message rules that the first two bytes of a frame decide, given the opcode of the
// message being gathered.
std::optional<FrameError> refusal(uint8_t first, uint8_t second, uint8_t message_opcode) {
    const bool fin = (first & 0x80) != 0;
    const auto opcode = static_cast<uint8_t>(first & 0x0F);
    const bool control = (opcode & 0x08) != 0;
    const unsigned short_length = second & 0x7F;
    // RFC 6455 5.2: RSV1-3 "MUST be 0 unless an extension is negotiated that defines meanings
    // for non-zero values"; this server negotiates none.
    if ((first & 0x70) != 0) {
        return protocol("RSV bits set");
    }
    // RFC 6455 5.2: "If an unknown opcode is received, the receiving endpoint MUST _Fail the
    // WebSocket Connection_."
    if ((opcode >= 3 && opcode <= 7) || opcode >= 11) {
        return FrameError{kCloseProtocolError, "Invalid op_code " + std::to_string(opcode)};
    }
    if (control) {
        // RFC 6455 5.5: "All control frames MUST have a payload length of 125 bytes or less
        // and MUST NOT be fragmented."
        // Such a length always fits the 7-bit field, and "the minimal number of bytes MUST be
        // used to encode the length" (5.2): the 16- and 64-bit forms are refused unread.
        if (!fin) {
            return protocol("fragmented control frame");
        }
        if (short_length > 125) {
            return protocol("control frame longer than 125 bytes");
        }
        // RFC 6455 5.5.1: a close body, when there is one, starts with a 2-byte status code.
        if (opcode == kOpClose && short_length == 1) {
            return protocol("close frame with a 1-byte body");
        }
    } else if (opcode == kOpContinuation) {
        // RFC 6455 5.4: a continuation only ever follows the first frame of a message.
        if (message_opcode == kNoMessage) {
            return protocol("continuation frame without a message");
        }
    } else if (message_opcode != kNoMessage) {
        // RFC 6455 5.4: "The fragments of one message MUST NOT be interleaved between the
        // fragments of another message unless an extension has been negotiated".
        return protocol("new message inside a fragmented one");
    }
    return std::nullopt;
}

}  // namespace

std::span<uint8_t> FrameParser::space(std::size_t size) {
    // What is held moves to the front first: between messages that is at most a frame head.
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ > 0) {
        std::memmove(input_.get(), input_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (capacity_ < end_ + size) {
        auto grown = std::make_unique_for_overwrite<uint8_t[]>(end_ + size);
        if (end_ > 0) std::memcpy(grown.get(), input_.get(), end_);
        input_ = std::move(grown);
        capacity_ = end_ + size;
    }
    room_ = size;
    return {input_.get() + end_, size};
}

void FrameParser::commit(std::size_t count) {
    end_ += std::min(count, room_);
    room_ = 0;
}

void FrameParser::feed(std::span<const uint8_t> bytes) {
    const auto room = space(bytes.size());
    std::copy(bytes.begin(), bytes.end(), room.begin());
    commit(bytes.size());
}

std::span<const uint8_t> FrameParser::unread() const {
    return {input_.get() + begin_, end_ - begin_};
}

std::unexpected<FrameError> FrameParser::fail(FrameError error) {
    refused_ = error;
    return std::unexpected(std::move(error));
}

std::expected<bool, FrameError> FrameParser::take_head(const std::vector<uint8_t>* raw) {
    const auto held = unread();
    if (held.size() < 2) {
        return false;
    }
    const uint8_t first = held[0];
    const uint8_t second = held[1];
    // RFC 6455 5.1: "a client MUST mask all frames that it sends to the server"; the frame is
    // refused before anything more of it is taken.
    if ((second & 0x80) == 0) {
        return fail(FrameError{std::nullopt, "WebSocket data from client must be masked"});
    }
    if (!raw) {
        if (auto refused = refusal(first, second, message_opcode_)) {
            return fail(std::move(*refused));
        }
    }
    const unsigned short_length = second & 0x7F;
    const std::size_t length_size = short_length == 126 ? 2 : short_length == 127 ? 8 : 0;
    if (held.size() < 2 + length_size) {
        return false;
    }
    const uint64_t length =
        length_size == 0 ? short_length : big_endian(held.subspan(2, length_size));
    // The length comes off the wire: it is held against the message bound before any of the
    // payload is taken. A control frame's payload is not part of the message.
    const bool control = (first & 0x08) != 0;
    const std::size_t gathered = raw ? raw->size() : control ? 0 : message_.size();
    if (gathered > kMaxMessageSize || length > kMaxMessageSize - gathered) {
        return fail(FrameError{kCloseMessageTooBig,
                               "WebSocket message too big: a frame of " + std::to_string(length) +
                                   " bytes after " + std::to_string(gathered) +
                                   " would pass the limit of " + std::to_string(kMaxMessageSize) +
                                   " bytes"});
    }
    const std::size_t head_size = 2 + length_size + mask_.size();
    if (held.size() < head_size) {
        return false;
    }
    std::copy_n(held.begin() + static_cast<std::ptrdiff_t>(2 + length_size), mask_.size(),
                mask_.begin());
    begin_ += head_size;
    first_ = first;
    left_ = length;
    mask_at_ = 0;
    stage_ = Stage::payload;
    return true;
}

void FrameParser::take_payload(std::vector<uint8_t>& into) {
    const auto held = unread();
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(left_, held.size()));
    const std::size_t start = into.size();
    into.insert(into.end(), held.begin(), held.begin() + static_cast<std::ptrdiff_t>(n));
    // RFC 6455 5.3: octet i is XORed with octet i MOD 4 of the masking key.
    uint8_t* const payload = into.data() + start;
    const uint8_t* const key = mask_.data();
    // Eight octets at a time with the key repeated from where this frame's payload stands.
    std::array<uint8_t, 8> wide{};
    for (std::size_t k = 0; k < wide.size(); ++k) wide[k] = key[(mask_at_ + k) & 3];
    uint64_t wide_key = 0;
    std::memcpy(&wide_key, wide.data(), sizeof wide_key);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t octets = 0;
        std::memcpy(&octets, payload + i, sizeof octets);
        octets ^= wide_key;
        std::memcpy(payload + i, &octets, sizeof octets);
    }
    for (; i < n; ++i) {
        payload[i] ^= key[(mask_at_ + i) & 3];
    }
    mask_at_ = (mask_at_ + n) & 3;
    begin_ += n;
    left_ -= n;
}

std::expected<Event, FrameError> FrameParser::next() {
    for (;;) {
        if (refused_) {
            return std::unexpected(*refused_);
        }
        if (stage_ == Stage::head) {
            const auto taken = take_head(nullptr);
            if (!taken) {
                return std::unexpected(taken.error());
            }
            if (!*taken) {
                return NeedMore{};
            }
            const auto opcode = static_cast<uint8_t>(first_ & 0x0F);
            if ((opcode & 0x08) != 0) {
                control_.clear();
            } else if (opcode != kOpContinuation) {
                message_opcode_ = opcode;
            }
        }
        take_payload((first_ & 0x08) != 0 ? control_ : message_);
        if (left_ > 0) {
            return NeedMore{};
        }
        stage_ = Stage::head;
        if (auto event = finish_frame()) {
            return std::move(*event);
        }
    }
}

std::optional<Event> FrameParser::finish_frame() {
    const auto opcode = static_cast<uint8_t>(first_ & 0x0F);
    if ((opcode & 0x08) == 0) {
        if ((first_ & 0x80) == 0) {
            return std::nullopt;  // more fragments follow
        }
        const uint8_t kind = std::exchange(message_opcode_, kNoMessage);
        std::vector<uint8_t> data = std::exchange(message_, {});
        if (kind == kOpText) {
            return Text{string::from_utf8_lossy(data)};
        }
        return Binary{std::move(data)};
    }
    if (opcode == kOpClose) {
        std::optional<unsigned> status;
        if (control_.size() >= 2) {
            status = (unsigned{control_[0]} << 8) | control_[1];
            if (!close_status_may_be_sent(*status)) {
                (void)fail(
                    protocol("close status " + std::to_string(*status) + " may not be sent"));
                return std::nullopt;
            }
        }
        // A message cut short by the close is dropped; what may follow starts afresh.
        message_.clear();
        message_opcode_ = kNoMessage;
        return CloseFrame{status};
    }
    if (opcode == kOpPing) {
        return Ping{std::exchange(control_, {})};
    }
    // A pong needs no answer (RFC 6455 5.5.3: "A response to an unsolicited Pong frame is not
    // expected").
    return std::nullopt;
}

std::expected<std::optional<uint8_t>, FrameError> FrameParser::next_frame(
    std::vector<uint8_t>& message) {
    if (refused_) {
        return std::unexpected(*refused_);
    }
    if (stage_ == Stage::head) {
        const auto taken = take_head(&message);
        if (!taken) {
            return std::unexpected(taken.error());
        }
        if (!*taken) {
            return std::nullopt;
        }
    }
    take_payload(message);
    if (left_ > 0) {
        return std::nullopt;
    }
    stage_ = Stage::head;
    return first_;
}

void FrameParser::give_back(std::vector<uint8_t>&& buffer) {
    if (message_.capacity() != 0 || message_opcode_ != kNoMessage ||
        buffer.capacity() > kKeptBufferSize) {
        return;
    }
    buffer.clear();
    message_ = std::move(buffer);
}

std::vector<uint8_t> encode_frame(uint8_t opcode, std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame;
    encode_frame_into(frame, opcode, payload);
    return frame;
}

void encode_frame_into(std::vector<uint8_t>& frame, uint8_t opcode,
                       std::span<const uint8_t> payload) {
    const std::size_t n = payload.size();
    frame.clear();
    frame.reserve((n <= 125 ? 2 : n <= 0xFFFF ? 4 : 10) + n);
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
    frame.insert(frame.end(), payload.begin(), payload.end());
}

}  // namespace vornic::velkin::http::websocket
