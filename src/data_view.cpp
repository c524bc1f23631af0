#include "data_view.h"

#include <array>

#include "utilities.h"

namespace kx_agent::data_view {

DataView::DataView(std::vector<uint8_t>& buffer, int32_t start)
    : length(buffer.size()), position(start), source_(&buffer), sink_(&buffer) {}

DataView::DataView(const std::vector<uint8_t>& buffer, int32_t start)
    : length(buffer.size()), position(start), source_(&buffer), sink_(nullptr) {}

std::size_t DataView::remaining() const {
    if (position < 0 || static_cast<std::size_t>(position) >= source_->size()) return 0;
    return source_->size() - static_cast<std::size_t>(position);
}

bool DataView::take(std::size_t count) {
    if (failed_ || count > remaining()) {
        failed_ = true;
        position = static_cast<int32_t>(source_->size());
        return false;
    }
    return true;
}

void DataView::append(uint8_t value) { append(&value, 1); }

void DataView::append(const uint8_t* bytes, std::size_t count) {
    if (sink_ == nullptr) {
        failed_ = true;
        return;
    }
    sink_->insert(sink_->end(), bytes, bytes + count);
    position += static_cast<int32_t>(count);
}

namespace {
// `value` in little-endian byte order.
template <class Unsigned>
std::array<uint8_t, sizeof(Unsigned)> littleEndian(Unsigned value) {
    std::array<uint8_t, sizeof(Unsigned)> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}
}  // namespace

uint8_t DataView::getByte() {
    if (!take(1)) return 0;
    return (*source_)[static_cast<std::size_t>(position++)];
}

void DataView::setByte(uint8_t value) { append(value); }

void DataView::getBytes(int32_t count, std::vector<uint8_t>& destination) {
    if (count < 0) {
        take(SIZE_MAX);
        return;
    }
    auto bytes = getSpan(static_cast<std::size_t>(count));
    destination.insert(destination.end(), bytes.begin(), bytes.end());
}

std::span<const uint8_t> DataView::getSpan(std::size_t count) {
    if (!take(count)) return {};
    std::span<const uint8_t> bytes(source_->data() + position, count);
    position += static_cast<int32_t>(count);
    return bytes;
}

void DataView::setBytes(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    if (sink_ == nullptr) {
        failed_ = true;
        return;
    }
    sink_->insert(sink_->end(), bytes.begin(), bytes.end());
    position += static_cast<int32_t>(bytes.size());
}

void DataView::setLittleEndian16(uint16_t value) {
    const auto bytes = littleEndian(value);
    append(bytes.data(), bytes.size());
}

uint32_t DataView::getLittleEndian32() {
    auto b = getSpan(4);
    if (b.empty()) return 0;
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void DataView::setLittleEndian32(uint32_t value) {
    const auto bytes = littleEndian(value);
    append(bytes.data(), bytes.size());
}

void DataView::setLittleEndian32AtPosition(std::size_t offset, uint32_t value) {
    if (sink_ == nullptr || offset > sink_->size() || sink_->size() - offset < 4) {
        failed_ = true;
        return;
    }
    for (int i = 0; i < 4; ++i) (*sink_)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    position = static_cast<int32_t>(offset + 4);
}

void DataView::setLittleEndian64(uint64_t value) {
    const auto bytes = littleEndian(value);
    append(bytes.data(), bytes.size());
}

void DataView::skipPositionRead(int32_t count) {
    if (count < 0) {
        take(SIZE_MAX);
        return;
    }
    if (take(static_cast<std::size_t>(count))) position += count;
}

void DataView::skipPositionWrite(std::size_t count) {
    if (count == 0) return;
    if (sink_ == nullptr) {
        failed_ = true;
        return;
    }
    sink_->resize(sink_->size() + count);
    position += static_cast<int32_t>(count);
}

std::string DataView::getAsciiString() const {
    int32_t zero = utilities::vec_indexOf(*source_, 0, position);
    int32_t n = zero - position;
    if (zero < 0 || n <= 0) return {};
    return utilities::utf8_lossy(
        std::span<const uint8_t>(source_->data() + position, static_cast<std::size_t>(n)));
}

void DataView::declareLength(std::size_t total) {
    length = total;
    if (sink_ != nullptr) sink_->reserve(total);
}

void DataView::truncate(std::size_t size) {
    if (sink_ == nullptr || size > sink_->size()) return;
    sink_->resize(size);
    position = static_cast<int32_t>(size);
}

}  // namespace kx_agent::data_view
