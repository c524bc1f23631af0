// The agent's card data cache: freshness, bounds, eviction order and the death of a context's
// items, used from several threads at once.
#include "smartcard/state/card_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "smartcard/pcsc/connection_scope.h"
#include "fake_pcsc.h"

namespace kx_agent::test {
namespace {

using smartcard::CardCache;
using smartcard::CardIdentifier;

constexpr smartcard::ReturnCode kOk{0};
constexpr smartcard::ReturnCode kNotFound{0x80100070};
constexpr smartcard::ReturnCode kStale{0x80100071};
constexpr smartcard::ReturnCode kTooBig{0x80100072};

const CardIdentifier kCard{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const CardIdentifier kOtherCard{16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

std::vector<uint8_t> bytes(std::size_t n, uint8_t value) { return std::vector<uint8_t>(n, value); }

TEST(CardCache, AnItemIsFoundByCardNameAndFreshness) {
    CardCache cache;
    EXPECT_EQ(cache.read(kCard, 1, "cardid").error(), kNotFound);
    ASSERT_EQ(cache.write(7, kCard, 1, "cardid", bytes(3, 0xAB)), kOk);
    EXPECT_EQ(cache.read(kCard, 1, "cardid").value(), bytes(3, 0xAB));
    // Same name on another card, another name on the same card: different items.
    EXPECT_EQ(cache.read(kOtherCard, 1, "cardid").error(), kNotFound);
    EXPECT_EQ(cache.read(kCard, 1, "cardcf").error(), kNotFound);
    // Another freshness counter: the item is there but stale, until it is written again.
    EXPECT_EQ(cache.read(kCard, 2, "cardid").error(), kStale);
    ASSERT_EQ(cache.write(7, kCard, 2, "cardid", bytes(5, 0xCD)), kOk);
    EXPECT_EQ(cache.read(kCard, 2, "cardid").value(), bytes(5, 0xCD));
    EXPECT_EQ(cache.read(kCard, 1, "cardid").error(), kStale);
    EXPECT_EQ(cache.items(), 1u);
    EXPECT_EQ(cache.bytes(), 6u + 5u + CardCache::kItemCost);
    // An empty item is an item.
    ASSERT_EQ(cache.write(7, kCard, 0, "empty", {}), kOk);
    EXPECT_TRUE(cache.read(kCard, 0, "empty").value().empty());
}

TEST(CardCache, ItemsAndTheWholeAreBounded) {
    CardCache real;
    EXPECT_EQ(real.write(1, kCard, 0, "x", bytes(CardCache::kMaxItem, 1)), kOk);
    EXPECT_EQ(real.write(1, kCard, 0, "y", bytes(CardCache::kMaxItem + 1, 1)), kTooBig);
    EXPECT_EQ(real.read(kCard, 0, "y").error(), kNotFound);

    // 10 data bytes an item, two items of 10 in all (each costs its name, data and kItemCost).
    constexpr std::size_t kTen = 10 + CardCache::kItemCost;
    CardCache cache(10, 2 * kTen + 5);
    EXPECT_EQ(cache.write(1, kCard, 0, "a", bytes(9, 'a')), kOk);
    EXPECT_EQ(cache.write(1, kCard, 0, "b", bytes(9, 'b')), kOk);
    // "a" is written again: it becomes the newest, so "b" is the oldest now.
    EXPECT_EQ(cache.write(1, kCard, 0, "a", bytes(9, 'A')), kOk);
    EXPECT_EQ(cache.write(1, kCard, 0, "c", bytes(9, 'c')), kOk);
    EXPECT_EQ(cache.read(kCard, 0, "b").error(), kNotFound);
    EXPECT_EQ(cache.read(kCard, 0, "a").value(), bytes(9, 'A'));
    EXPECT_EQ(cache.read(kCard, 0, "c").value(), bytes(9, 'c'));
    EXPECT_EQ(cache.bytes(), 2 * kTen);
    // A bigger item pushes out as many old ones as it needs, oldest first.
    EXPECT_EQ(cache.write(1, kCard, 0, "d", bytes(10, 'd')), kOk);
    EXPECT_EQ(cache.read(kCard, 0, "a").error(), kNotFound);
    EXPECT_EQ(cache.read(kCard, 0, "c").value(), bytes(9, 'c'));
    EXPECT_LE(cache.bytes(), 2 * kTen + 5);
    EXPECT_EQ(cache.write(1, kCard, 0, "e", bytes(11, 'e')), kTooBig);
    EXPECT_EQ(cache.items(), 2u);
}

// Items without data or name cost their identifier and the fixed cost, and the count is bounded
// on its own: a client that writes them without end holds the oldest kMaxItems at most, and
// the release of its context takes them all.
TEST(CardCache, EmptyItemsAreCountedAndTheirNumberIsBounded) {
    CardCache cache;
    CardIdentifier card{};
    for (uint32_t i = 0; i < 400000; ++i) {
        std::memcpy(card.data(), &i, sizeof i);
        ASSERT_EQ(cache.write(5, card, 0, "", {}), kOk);
    }
    EXPECT_EQ(cache.items(), CardCache::kMaxItems);
    EXPECT_EQ(cache.bytes(), CardCache::kMaxItems * CardCache::kItemCost);
    const uint32_t newest = 400000 - 1, oldest_kept = 400000 - CardCache::kMaxItems;
    const uint32_t evicted = oldest_kept - 1;
    for (auto [number, found] : {std::pair{newest, true}, {oldest_kept, true}, {evicted, false}}) {
        std::memcpy(card.data(), &number, sizeof number);
        EXPECT_EQ(cache.read(card, 0, "").has_value(), found) << number;
    }
    // Small items count in full against the whole: 1000 of them take what their bytes say.
    CardCache small(CardCache::kMaxItem, 100 * CardCache::kItemCost);
    for (uint32_t i = 0; i < 1000; ++i) {
        std::memcpy(card.data(), &i, sizeof i);
        ASSERT_EQ(small.write(6, card, 0, "", {}), kOk);
    }
    EXPECT_EQ(small.items(), 100u);
    cache.forget_context(5);
    EXPECT_EQ(cache.items(), 0u);
    EXPECT_EQ(cache.bytes(), 0u);
}

TEST(CardCache, ItemsDieWithTheContextThatWroteThem) {
    CardCache cache;
    cache.write(1, kCard, 0, "one", bytes(4, 1));
    cache.write(2, kCard, 0, "two", bytes(4, 2));
    cache.write(1, kCard, 0, "shared", bytes(4, 1));
    cache.write(2, kCard, 0, "shared", bytes(4, 2));  // now context 2's
    cache.forget_context(1);
    EXPECT_EQ(cache.read(kCard, 0, "one").error(), kNotFound);
    EXPECT_EQ(cache.read(kCard, 0, "two").value(), bytes(4, 2));
    EXPECT_EQ(cache.read(kCard, 0, "shared").value(), bytes(4, 2));
    cache.forget_context(2);
    EXPECT_EQ(cache.items(), 0u);
    EXPECT_EQ(cache.bytes(), 0u);
}

// A connection that ends without releasing its context takes the context's items, and its card
// handles' transmit counts, with it.
TEST(CardCache, AClosedConnectionsContextLeavesNothingCached) {
    FakePcsc fake;
    CardCache cache;
    smartcard::TransmitCounts transmits;
    // No grace: the release comes when the connection ends.
    smartcard::ContextGuard guard(fake, std::chrono::milliseconds(500),
                                  std::chrono::milliseconds(0), &cache, &transmits);
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    {
        smartcard::ConnectionScope connection(guard);
        ASSERT_EQ(connection.pcsc().establish_context(SCARD_SCOPE_SYSTEM, &context),
                  SCARD_S_SUCCESS);
        cache.write(context, kCard, 0, "closed", bytes(4, 9));
        ASSERT_EQ(connection.pcsc().connect(context, "R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                                            &card, &protocol),
                  SCARD_S_SUCCESS);
        transmits.connected(card, "R", 1);
        transmits.connected(card + 1, "R", 1);  // a handle of another context
        testing::internal::CaptureStdout();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cache.read(kCard, 0, "closed").error(), kNotFound);
    EXPECT_EQ(transmits.get(card), std::nullopt);
    EXPECT_EQ(transmits.get(card + 1), 0u);
}

TEST(CardCache, ConnectionsUseItAtTheSameTime) {
    CardCache cache(64, 4096 + 50 * CardCache::kItemCost);
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (int i = 0; i < 2000; ++i) {
                std::string name = "item" + std::to_string(i % 50);
                cache.write(t, kCard, static_cast<uint32_t>(t), name,
                            bytes(static_cast<std::size_t>(i % 60), static_cast<uint8_t>(t)));
                auto item = cache.read(kCard, static_cast<uint32_t>(t), name);
                if (item) {
                    EXPECT_LE(item->size(), 64u);
                }
                if (i % 500 == 0) cache.forget_context(t);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(cache.bytes(), 4096u + 50 * CardCache::kItemCost);
}

}  // namespace
}  // namespace kx_agent::test
