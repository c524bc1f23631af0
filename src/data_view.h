#pragma once
// Little-endian byte cursor over one relayed message or one reply.
//
// A request view walks an existing message; a reply view appends to a growing vector. One
// position serves reading and writing. Every read is bounded by what the message holds: a read
// past the end yields zeros, moves the position to the end and sets a sticky failure flag, so a
// handler can read a whole call in wire order and check `failed()` once before it acts.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kx_agent::data_view {

class DataView {
public:
    // Reply view (or request view over a mutable vector): reads and appends.
    DataView(std::vector<uint8_t>& buffer, int32_t start);
    // Request view over a message it must not change: writes fail.
    DataView(const std::vector<uint8_t>& buffer, int32_t start);

    // Declared length of the message; reply builders set it to the full reply size.
    std::size_t length;
    // End mark: -1 until markEnd.
    int32_t end = -1;
    // The cursor, in bytes from the start of the buffer.
    int32_t position;

    const std::vector<uint8_t>& buffer() const { return *source_; }
    // The vector a reply view appends to; null for a read-only view.
    std::vector<uint8_t>* output() { return sink_; }

    void markEnd() { end = position; }

    uint8_t getByte();
    void setByte(uint8_t value);
    // Appends `count` bytes at the position to `destination`. A negative count or one larger
    // than what remains copies nothing and fails the view.
    void getBytes(int32_t count, std::vector<uint8_t>& destination);
    // The next `count` bytes without copying; empty (and the view failed) when they are not all
    // there. The span lives as long as the buffer is not changed.
    std::span<const uint8_t> getSpan(std::size_t count);
    void setBytes(std::span<const uint8_t> bytes);
    void setLittleEndian16(uint16_t value);
    uint32_t getLittleEndian32();
    void setLittleEndian32(uint32_t value);
    // Overwrites four existing bytes in place; the vector does not grow.
    void setLittleEndian32AtPosition(std::size_t offset, uint32_t value);
    void setLittleEndian64(uint64_t value);
    void skipPositionRead(int32_t count);
    void skipPositionWrite(std::size_t count);
    // The zero-terminated string at the position, decoded as UTF-8 with U+FFFD for invalid
    // sequences; the position does not move.
    std::string getAsciiString() const;

    // Sets the declared length and reserves room for it, so a reply is built in one allocation.
    void declareLength(std::size_t total);
    // Cuts a reply back to its first `size` bytes and moves the position there.
    void truncate(std::size_t size);

    bool failed() const { return failed_; }
    // Bytes left to read from the position.
    std::size_t remaining() const;

private:
    bool take(std::size_t count);  // checks and consumes `count` readable bytes
    void append(uint8_t value);
    void append(const uint8_t* bytes, std::size_t count);
    template <class Unsigned>
    void appendLittleEndian(Unsigned value);

    const std::vector<uint8_t>* source_;
    std::vector<uint8_t>* sink_;  // null for a read-only view
    bool failed_ = false;
};

// The small reads and writes every call makes many of, where the compiler can see them.

inline std::size_t DataView::remaining() const {
    if (position < 0 || static_cast<std::size_t>(position) >= source_->size()) return 0;
    return source_->size() - static_cast<std::size_t>(position);
}

inline bool DataView::take(std::size_t count) {
    if (failed_ || count > remaining()) {
        failed_ = true;
        position = static_cast<int32_t>(source_->size());
        return false;
    }
    return true;
}

inline void DataView::append(const uint8_t* bytes, std::size_t count) {
    if (sink_ == nullptr) {
        failed_ = true;
        return;
    }
    sink_->insert(sink_->end(), bytes, bytes + count);
    position += static_cast<int32_t>(count);
}

inline void DataView::append(uint8_t value) { append(&value, 1); }

template <class Unsigned>
inline void DataView::appendLittleEndian(Unsigned value) {
    uint8_t bytes[sizeof(Unsigned)];
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    append(bytes, sizeof bytes);
}

inline uint8_t DataView::getByte() {
    if (!take(1)) return 0;
    return (*source_)[static_cast<std::size_t>(position++)];
}

inline void DataView::setByte(uint8_t value) { append(value); }

inline std::span<const uint8_t> DataView::getSpan(std::size_t count) {
    if (!take(count)) return {};
    std::span<const uint8_t> bytes(source_->data() + position, count);
    position += static_cast<int32_t>(count);
    return bytes;
}

inline void DataView::setBytes(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) append(bytes.data(), bytes.size());
}

inline void DataView::setLittleEndian16(uint16_t value) { appendLittleEndian(value); }
inline void DataView::setLittleEndian32(uint32_t value) { appendLittleEndian(value); }
inline void DataView::setLittleEndian64(uint64_t value) { appendLittleEndian(value); }

inline uint32_t DataView::getLittleEndian32() {
    auto b = getSpan(4);
    if (b.empty()) return 0;
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

inline void DataView::skipPositionRead(int32_t count) {
    if (count < 0) {
        take(SIZE_MAX);
        return;
    }
    if (take(static_cast<std::size_t>(count))) position += count;
}

inline void DataView::setLittleEndian32AtPosition(std::size_t offset, uint32_t value) {
    if (sink_ == nullptr || offset > sink_->size() || sink_->size() - offset < 4) {
        failed_ = true;
        return;
    }
    for (int i = 0; i < 4; ++i) (*sink_)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    position = static_cast<int32_t>(offset + 4);
}

inline void DataView::skipPositionWrite(std::size_t count) {
    if (count == 0) return;
    if (sink_ == nullptr) {
        failed_ = true;
        return;
    }
    sink_->resize(sink_->size() + count);
    position += static_cast<int32_t>(count);
}

}  // namespace kx_agent::data_view
