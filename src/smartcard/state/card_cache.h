#pragma once
// The smart-card data cache that card minidrivers use through SCardReadCache and
// SCardWriteCache, kept by the agent itself: pcsc-lite has none, and a Windows build of the
// agent keeps using this one rather than the service's.
//
// An item is named by the card identifier (a UUID) and a lookup name, and carries the
// freshness counter it was written with; a read with another counter finds it stale. Items
// belong to the PC/SC context that wrote them last and are dropped when that context is
// released or its connection ends. The cache is bounded: an item at most 64 KiB of data, 4 MiB
// in all and 4096 items. Each item counts against the 4 MiB at its data, name and identifier
// and a fixed cost for what keeping it takes besides, so that items without data or name
// cannot pile up for free. When a write would pass a bound, the oldest items go first.
// Connections run on threads of their own, so every operation takes the cache's lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <list>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

using CardIdentifier = std::array<uint8_t, 16>;

class CardCache {
public:
    static constexpr std::size_t kMaxItem = 64 * 1024;
    static constexpr std::size_t kMaxTotal = 4 * 1024 * 1024;
    static constexpr std::size_t kMaxItems = 4096;
    // What an item costs besides its data and name: its identifier and this much for the
    // containers' nodes and its bookkeeping.
    static constexpr std::size_t kFixedCost = 64;
    static constexpr std::size_t kItemCost = sizeof(CardIdentifier) + kFixedCost;

    explicit CardCache(std::size_t max_item = kMaxItem, std::size_t max_total = kMaxTotal,
                       std::size_t max_items = kMaxItems);

    // The item's data; SCARD_W_CACHE_ITEM_NOT_FOUND when there is none,
    // SCARD_W_CACHE_ITEM_STALE when it was written with another freshness counter.
    std::expected<std::vector<uint8_t>, ReturnCode> read(const CardIdentifier& card,
                                                         uint32_t freshness,
                                                         const std::string& name) const;
    // Stores (or replaces) the item for `context`. SCARD_S_SUCCESS, or
    // SCARD_W_CACHE_ITEM_TOO_BIG when the item alone is larger than an item may be.
    ReturnCode write(uint64_t context, const CardIdentifier& card, uint32_t freshness,
                     const std::string& name, std::span<const uint8_t> data);
    // Drops every item written through `context`.
    void forget_context(uint64_t context);

    std::size_t items() const;
    // Bytes counted: each item's data, lookup name and kItemCost.
    std::size_t bytes() const;

private:
    using Key = std::pair<CardIdentifier, std::string>;
    struct Item {
        uint64_t context;
        uint32_t freshness;
        std::vector<uint8_t> data;
        std::list<Key>::iterator age;  // place in `order_`
    };

    static std::size_t cost(std::size_t name, std::size_t data) { return name + data + kItemCost; }
    // Callers hold the lock.
    void erase(std::map<Key, Item>::iterator it);

    std::size_t max_item_;
    std::size_t max_total_;
    std::size_t max_items_;
    mutable std::mutex mutex_;
    std::map<Key, Item> items_;
    std::list<Key> order_;  // oldest write first
    std::size_t bytes_ = 0;
};

}  // namespace kx_agent::smartcard
