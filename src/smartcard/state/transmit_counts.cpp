#include "smartcard/state/transmit_counts.h"

#include <algorithm>

namespace kx_agent::smartcard {

void TransmitCounts::connected(uint64_t card, std::string reader_name,
                               std::optional<uint32_t> insertion) {
    std::lock_guard lock(mutex_);
    // The reader first, so that a handle reconnected on its own reader never leaves it idle.
    auto [at, added] = readers_.try_emplace(std::move(reader_name));
    Reader& reader = at->second;
    if (!added && reader.handles == 0) --idle_;
    ++reader.handles;
    if (insertion) {
        // Another card in the reader: its count starts again.
        if (reader.insertion && *reader.insertion != *insertion) reader.transmits = 0;
        reader.insertion = insertion;
    }
    if (auto old = handles_.find(card); old != handles_.end()) dropHandle(old);
    if (handles_.size() >= max_handles_) {
        // A rare full table: one scan for the handle placed first.
        dropHandle(std::ranges::min_element(handles_, {},
                                            [](const auto& entry) { return entry.second.placed; }));
    }
    handles_.emplace(card, Handle{&*at, next_++});
}

std::optional<std::string> TransmitCounts::readerOf(uint64_t card) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(card);
    if (it == handles_.end()) return std::nullopt;
    return it->second.reader->first;
}

void TransmitCounts::count(uint64_t card) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(card);
    if (it == handles_.end()) return;
    // The wire field is 32-bit: the count stops at its largest value.
    uint32_t& transmits = it->second.reader->second.transmits;
    if (transmits != UINT32_MAX) ++transmits;
}

std::optional<uint32_t> TransmitCounts::get(uint64_t card) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(card);
    if (it == handles_.end()) return std::nullopt;
    return it->second.reader->second.transmits;
}

void TransmitCounts::forget(uint64_t card) {
    std::lock_guard lock(mutex_);
    if (auto it = handles_.find(card); it != handles_.end()) dropHandle(it);
}

void TransmitCounts::dropHandle(std::unordered_map<uint64_t, Handle>::iterator handle) {
    Reader& reader = handle->second.reader->second;
    handles_.erase(handle);
    if (--reader.handles != 0) return;
    // Readers without handles are kept for their counts, within a bound: beyond it one of them
    // goes (a rare scan; pcsc-lite serves a few dozen readers at most).
    if (++idle_ <= kMaxIdleReaders) return;
    auto idle = std::ranges::find_if(readers_, [](const auto& r) { return r.second.handles == 0; });
    readers_.erase(idle);
    --idle_;
}

std::size_t TransmitCounts::handles() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::size_t TransmitCounts::readers() const {
    std::lock_guard lock(mutex_);
    return readers_.size();
}

}  // namespace kx_agent::smartcard
