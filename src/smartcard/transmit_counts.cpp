#include "smartcard/transmit_counts.h"

#include <algorithm>

namespace kx_agent::smartcard {

void TransmitCounts::count(uint64_t card) {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(card);
    if (it == counts_.end()) {
        if (counts_.size() >= max_handles_) {
            // A rare full table: one scan for the handle counted first.
            auto oldest = std::ranges::min_element(
                counts_, {}, [](const auto& entry) { return entry.second.first_seen; });
            counts_.erase(oldest);
        }
        it = counts_.emplace(card, Entry{0, next_++}).first;
    }
    // The wire field is 32-bit: the count stops at its largest value.
    if (it->second.transmits != UINT32_MAX) ++it->second.transmits;
}

uint32_t TransmitCounts::get(uint64_t card) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(card);
    return it == counts_.end() ? 0 : it->second.transmits;
}

void TransmitCounts::forget(uint64_t card) {
    std::lock_guard lock(mutex_);
    counts_.erase(card);
}

std::size_t TransmitCounts::handles() const {
    std::lock_guard lock(mutex_);
    return counts_.size();
}

TransmitCounts& transmit_counts() {
    static TransmitCounts counts;
    return counts;
}

}  // namespace kx_agent::smartcard
