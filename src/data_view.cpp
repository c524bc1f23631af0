#include "data_view.h"

#include "utilities.h"

namespace kx_agent::data_view {

DataView::DataView(std::vector<uint8_t>& buffer, int32_t start)
    : length(buffer.size()), position(start), source_(&buffer), sink_(&buffer) {}

DataView::DataView(const std::vector<uint8_t>& buffer, int32_t start)
    : length(buffer.size()), position(start), source_(&buffer), sink_(nullptr) {}

void DataView::getBytes(int32_t count, std::vector<uint8_t>& destination) {
    if (count < 0) {
        take(SIZE_MAX);
        return;
    }
    auto bytes = getSpan(static_cast<std::size_t>(count));
    destination.insert(destination.end(), bytes.begin(), bytes.end());
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
