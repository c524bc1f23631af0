#include "bench/calls.h"

#include <cstdio>

namespace kx_agent::bench {
namespace {

// An NDR stream written in wire order: little-endian 32-bit words, 4-byte alignment.
class Ndr {
public:
    Ndr() { data_.reserve(256); }
    Ndr& byte(uint8_t value) {
        data_.push_back(value);
        return *this;
    }
    Ndr& bytes(const Bytes& value) {
        for (uint8_t b : value) data_.push_back(b);
        return *this;
    }
    Ndr& u32(uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            data_.push_back(static_cast<uint8_t>(value >> shift));
        return *this;
    }
    Ndr& u64(uint64_t value) {
        u32(static_cast<uint32_t>(value));
        return u32(static_cast<uint32_t>(value >> 32));
    }
    Ndr& zeros(std::size_t count) {
        data_.insert(data_.end(), count, 0);
        return *this;
    }
    Ndr& text(std::string_view value) {
        data_.insert(data_.end(), value.begin(), value.end());
        return *this;
    }
    Ndr& align4() { return zeros((4 - data_.size() % 4) % 4); }
    // A REDIR_SCARDCONTEXT or REDIR_SCARDHANDLE reference as the agent hands it out: 8 bytes.
    Ndr& reference(uint64_t value) { return u32(8).u64(value); }
    // A conformant varying string with its NUL: maximum count, offset, actual count, bytes.
    Ndr& string(std::string_view value) {
        auto length = static_cast<uint32_t>(value.size() + 1);
        u32(length).u32(0).u32(length).text(value).zeros(1);
        return align4();
    }
    Bytes take() { return std::move(data_); }

private:
    Bytes data_;
};

constexpr uint32_t kReferent = 0x00020000;
constexpr uint32_t kNextReferent = 0x00020004;
constexpr uint32_t kDeviceId = 1;
constexpr uint32_t kCompletionId = 2;
constexpr uint32_t kAtrField = 36;

uint32_t u32_at(std::span<const uint8_t> bytes, std::size_t offset) {
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint64_t u64_at(std::span<const uint8_t> bytes, std::size_t offset) {
    return u32_at(bytes, offset) | static_cast<uint64_t>(u32_at(bytes, offset + 4)) << 32;
}

Bytes call_message(uint32_t code, const Bytes& body) {
    Ndr message;
    message.byte(3).byte(3).u32(code).u32(kDeviceId).u32(kCompletionId);
    // [MS-RPCE] 2.2.6.1 Common Type Header: version 1, little-endian, length 8, filler.
    message.u32(0x00081001).u32(0xCCCCCCCC);
    // [MS-RPCE] 2.2.6.2 Private Type Header: ObjectBufferLength, filler.
    message.u32(static_cast<uint32_t>(body.size())).u32(0);
    return message.bytes(body).take();
}

}  // namespace

Bytes handshake_message() { return {3, 1}; }

Bytes establish_call(uint32_t scope) {
    return call_message(kEstablishContext, Ndr().u32(scope).take());
}

Bytes release_call(uint64_t context) {
    return call_message(kReleaseContext, Ndr().u32(8).u32(kReferent).reference(context).take());
}

Bytes list_readers_call(uint64_t context, uint32_t cchReaders) {
    Ndr body;
    body.u32(8).u32(kReferent);   // REDIR_SCARDCONTEXT
    body.u32(0).u32(0);           // cBytes, mszGroups: no groups
    body.u32(0).u32(cchReaders);  // fmszReadersIsNULL, cchReaders
    body.reference(context);
    return call_message(kListReadersA, body.take());
}

Bytes status_change_call(uint64_t context, std::span<const std::string> readers) {
    auto count = static_cast<uint32_t>(readers.size());
    Ndr body;
    body.u32(8).u32(kReferent).u32(0).u32(count).u32(kNextReferent);  // dwTimeOut 0
    body.reference(context);
    body.u32(count);
    for (uint32_t i = 0; i < count; ++i) {
        // szReader referent, dwCurrentState UNAWARE, dwEventState, cbAtr, rgbAtr.
        body.u32(kNextReferent + 4 * (i + 1)).u32(0).u32(0).u32(0).zeros(kAtrField);
    }
    for (const std::string& reader : readers) body.string(reader);
    return call_message(kGetStatusChangeA, body.take());
}

Bytes connect_call(uint64_t context, std::string_view reader, uint32_t share_mode,
                   uint32_t preferred_protocols) {
    Ndr body;
    body.u32(kReferent).u32(8).u32(kNextReferent).u32(share_mode).u32(preferred_protocols);
    body.string(reader);
    body.reference(context);
    return call_message(kConnectA, body.take());
}

Bytes status_call(uint64_t context, uint64_t card) {
    Ndr body;
    body.u32(8).u32(kReferent).u32(8).u32(kNextReferent);  // REDIR_SCARDHANDLE
    body.u32(0).u32(0xFFFFFFFF).u32(32);  // fmszReaderNamesIsNULL, cchReaderLen, cbAtrLen
    body.reference(context).reference(card);
    return call_message(kStatusA, body.take());
}

Bytes disconnect_call(uint64_t context, uint64_t card, uint32_t disposition) {
    Ndr body;
    body.u32(8).u32(kReferent).u32(8).u32(kNextReferent).u32(disposition);
    body.reference(context).reference(card);
    return call_message(kDisconnect, body.take());
}

void put_u64_le(Bytes& bytes, std::size_t offset, uint64_t value) {
    for (std::size_t i = 0; i < 8 && offset + i < bytes.size(); ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::optional<uint32_t> return_code(std::span<const uint8_t> reply) {
    if (reply.size() < 42) return std::nullopt;
    return u32_at(reply, 38);
}

std::optional<uint64_t> established_context(std::span<const uint8_t> reply) {
    // ReturnCode, cbContext, pbContext referent, count, then the 8 reference bytes.
    if (reply.size() < 62 || return_code(reply) != 0 || u32_at(reply, 50) != 8) return std::nullopt;
    return u64_at(reply, 54);
}

std::optional<uint64_t> connected_card(std::span<const uint8_t> reply) {
    // ReturnCode, cbContext, pbContext, cbHandle, pbHandle, dwActiveProtocol, count, handle.
    if (reply.size() < 74 || return_code(reply) != 0 || u32_at(reply, 62) != 8) return std::nullopt;
    return u64_at(reply, 66);
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace kx_agent::bench
