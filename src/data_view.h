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

    const std::vector<uint8_t>* source_;
    std::vector<uint8_t>* sink_;  // null for a read-only view
    bool failed_ = false;
};

}  // namespace kx_agent::data_view
