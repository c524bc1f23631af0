// Transmit counts per card handle: counted on success, forgotten on disconnect, bounded.
#include "smartcard/transmit_counts.h"

#include <gtest/gtest.h>

namespace kx_agent::test {
namespace {

TEST(TransmitCounts, CountsPerHandleWithinABound) {
    smartcard::TransmitCounts counts(3);
    EXPECT_EQ(counts.get(10), 0u);
    counts.count(10);
    counts.count(10);
    counts.count(20);
    EXPECT_EQ(counts.get(10), 2u);
    EXPECT_EQ(counts.get(20), 1u);
    counts.forget(10);
    EXPECT_EQ(counts.get(10), 0u);
    counts.count(30);
    counts.count(40);
    EXPECT_EQ(counts.handles(), 3u);
    counts.count(50);  // full: the handle counted first (20) goes
    EXPECT_EQ(counts.handles(), 3u);
    EXPECT_EQ(counts.get(20), 0u);
    EXPECT_EQ(counts.get(50), 1u);
}

}  // namespace
}  // namespace kx_agent::test
