// Transmit counts per reader: counted on a handle's reader, started again by another card,
// forgotten with the handle, bounded.
#include "smartcard/state/transmit_counts.h"

#include <gtest/gtest.h>

#include <string>

namespace kx_agent::test {
namespace {

using Counts = smartcard::TransmitCounts;

TEST(TransmitCounts, CountsPerReaderSinceItsCardWasInserted) {
    Counts counts(3);
    EXPECT_EQ(counts.get(10), std::nullopt);
    counts.count(10);  // a handle never placed counts nowhere
    counts.connected(10, "R1", 7);
    counts.connected(20, "R1", 7);
    counts.connected(30, "R2", 1);
    counts.count(10);
    counts.count(20);
    counts.count(30);
    EXPECT_EQ(counts.get(10), 2u);
    EXPECT_EQ(counts.get(20), 2u);
    EXPECT_EQ(counts.get(30), 1u);
    EXPECT_EQ(counts.readerOf(20), "R1");

    // Reconnected or connected again on the same card: the count goes on; an insertion that
    // could not be read is taken for the last one.
    counts.connected(20, "R1", 7);
    counts.connected(10, "R1", std::nullopt);
    EXPECT_EQ(counts.get(20), 2u);
    // Another card: the reader's count starts again, for every handle on it.
    counts.connected(20, "R1", 8);
    EXPECT_EQ(counts.get(10), 0u);
    EXPECT_EQ(counts.get(30), 1u);

    // A disconnect forgets the handle, not the reader's count.
    counts.count(10);
    counts.forget(10);
    counts.forget(20);
    EXPECT_EQ(counts.get(10), std::nullopt);
    EXPECT_EQ(counts.readerOf(10), std::nullopt);
    counts.connected(40, "R1", 8);
    EXPECT_EQ(counts.get(40), 1u);

    // Full (3 handles): the handle placed first (30) goes.
    counts.connected(50, "R3", 1);
    counts.connected(60, "R3", 1);
    EXPECT_EQ(counts.handles(), 3u);
    EXPECT_EQ(counts.get(30), std::nullopt);
    EXPECT_EQ(counts.get(40), 1u);
}

TEST(TransmitCounts, ReadersWithoutHandlesAreBounded) {
    Counts counts;
    for (uint64_t card = 1; card <= Counts::kMaxIdleReaders + 10; ++card) {
        counts.connected(card, "Reader " + std::to_string(card), 1);
        counts.forget(card);
    }
    EXPECT_EQ(counts.readers(), Counts::kMaxIdleReaders);
    EXPECT_EQ(counts.handles(), 0u);
}

}  // namespace
}  // namespace kx_agent::test
