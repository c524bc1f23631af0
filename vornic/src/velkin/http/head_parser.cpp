#include "velkin/http/head_parser.h"

#include <algorithm>

namespace vornic::velkin::http {

void HeadParser::feed(std::span<const uint8_t> bytes) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
}

std::expected<std::optional<Head>, HeadError> HeadParser::next() {
    // Only the first kMaxHeadSize bytes can hold the end: what lies beyond belongs to no head.
    const std::size_t limit = std::min(held_.size(), kMaxHeadSize);
    const auto begin = held_.begin();
    for (auto at = std::find(begin + static_cast<std::ptrdiff_t>(scanned_),
                             begin + static_cast<std::ptrdiff_t>(limit), uint8_t{'\n'});
         at != begin + static_cast<std::ptrdiff_t>(limit);
         at = std::find(at + 1, begin + static_cast<std::ptrdiff_t>(limit), uint8_t{'\n'})) {
        const auto i = static_cast<std::size_t>(at - begin);
        const bool blank_line = i >= 2 && held_[i - 2] == '\n' && held_[i - 1] == '\r';
        const bool bare_blank_line = i >= 1 && held_[i - 1] == '\n';
        if (!blank_line && !bare_blank_line) continue;
        Head head;
        head.after.assign(at + 1, held_.end());
        held_.resize(i + 1);
        head.bytes = std::move(held_);
        held_.clear();
        scanned_ = 0;
        return head;
    }
    scanned_ = limit;
    if (limit == kMaxHeadSize) {
        return std::unexpected(HeadError{"Request head too large: no end of head in " +
                                         std::to_string(kMaxHeadSize) + " bytes"});
    }
    return std::nullopt;
}

}  // namespace vornic::velkin::http
