#include "smartcard/state/card_cache.h"

#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

CardCache::CardCache(std::size_t max_item, std::size_t max_total, std::size_t max_items)
    : max_item_(max_item), max_total_(max_total), max_items_(max_items) {}

std::expected<std::vector<uint8_t>, ReturnCode> CardCache::read(const CardIdentifier& card,
                                                                uint32_t freshness,
                                                                const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find(Key{card, name});
    if (it == items_.end()) return std::unexpected(rc::cache_item_not_found);
    if (it->second.freshness != freshness) return std::unexpected(rc::cache_item_stale);
    return it->second.data;
}

ReturnCode CardCache::write(uint64_t context, const CardIdentifier& card, uint32_t freshness,
                            const std::string& name, std::span<const uint8_t> data) {
    const std::size_t needed = cost(name.size(), data.size());
    if (data.size() > max_item_ || needed > max_total_ || max_items_ == 0)
        return rc::cache_item_too_big;
    Key key{card, name};
    std::lock_guard lock(mutex_);
    if (auto it = items_.find(key); it != items_.end()) erase(it);
    // Oldest first, until the new item fits.
    while ((bytes_ + needed > max_total_ || items_.size() >= max_items_) && !order_.empty())
        erase(items_.find(order_.front()));
    order_.push_back(key);
    Item item{context, freshness, {data.begin(), data.end()}, std::prev(order_.end())};
    bytes_ += needed;
    items_.emplace(std::move(key), std::move(item));
    return rc::success;
}

void CardCache::forget_context(uint64_t context) {
    std::lock_guard lock(mutex_);
    for (auto it = items_.begin(); it != items_.end();) {
        auto next = std::next(it);
        if (it->second.context == context) erase(it);
        it = next;
    }
}

void CardCache::erase(std::map<Key, Item>::iterator it) {
    bytes_ -= cost(it->first.second.size(), it->second.data.size());
    order_.erase(it->second.age);
    items_.erase(it);
}

std::size_t CardCache::items() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::size_t CardCache::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

}  // namespace kx_agent::smartcard
