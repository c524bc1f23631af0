// SCARD_IOCTL_GETSTATUSCHANGEA against the real pcscd, the virtual readers and the virtual card.
#include <gtest/gtest.h>
#include <PCSC/winscard.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kEstablish = ioctl::establishContext;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kGetStatusChange = ioctl::getStatusChangeA;
constexpr uint32_t kCancel = ioctl::cancel;
constexpr const char* kNotification = "\\\\?PnP?\\Notification";

struct Known {
    std::string reader;
    uint32_t state;
};

struct ReaderState {
    uint32_t current;
    uint32_t event;
    uint32_t cbAtr;
};

// A failure's GetStatusChange_Return: ReturnCode, then cReaders 0 and a null rgReaderStates, 16
// bytes in all.
bool zeroed(const Bytes& reply) {
    return reply.size() == 54 && u32_at(reply, 30) == 16 && u32_at(reply, 42) == 0 &&
           u32_at(reply, 46) == 0 && u32_at(reply, 50) == 0;
}

class StatusChangeOnPcscd : public testing::Test {
protected:
    void SetUp() override {
        Bytes reply = relay(call_message(kEstablish, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
        ASSERT_EQ(reply.size(), 62u);
        ASSERT_EQ(return_code(reply), 0u);
        reference_.assign(reply.end() - 8, reply.end());
    }
    void TearDown() override { relay(context_call(kRelease)); }

    Bytes context_call(uint32_t code) const {
        return call_message(code, Ndr().u32(8).u32(0x00020000).array(reference_).data());
    }

    Bytes wait(uint32_t timeout, const std::vector<Known>& readers) const {
        auto cReaders = static_cast<uint32_t>(readers.size());
        Ndr body;
        body.u32(8).u32(0x00020000).u32(timeout).u32(cReaders).u32(0x00020004);
        body.array(reference_).u32(cReaders);
        for (const Known& k : readers) body.u32(0x00020008).u32(k.state).u32(0).u32(0).zeros(36);
        for (const Known& k : readers) {
            auto length = static_cast<uint32_t>(k.reader.size() + 1);
            body.u32(length).u32(0).u32(length).text(k.reader).zeros(1).pad(4);
        }
        return relay(call_message(kGetStatusChange, body.data()));
    }

    // The state the service holds for `reader` now.
    ReaderState current(const std::string& reader) const {
        Bytes reply = wait(0, {{reader, SCARD_STATE_UNAWARE}});
        EXPECT_EQ(return_code(reply), 0u);
        return state_at(reply, 0);
    }

    static ReaderState state_at(const Bytes& reply, std::size_t i) {
        std::size_t at = 54 + 48 * i;
        return {u32_at(reply, at), u32_at(reply, at + 4), u32_at(reply, at + 8)};
    }

    Bytes reference_;
};

TEST_F(StatusChangeOnPcscd, CardInsertedAndRemovedWhileAClientWaitsAreReported) {
    VirtualCard card;
    ASSERT_TRUE(holds_no_foreign_card(card));
    ReaderState empty = current(card.reader());
    EXPECT_TRUE(empty.event & SCARD_STATE_EMPTY);

    auto inserted = std::async(std::launch::async, [&] {
        return wait(20000, {{card.reader(), empty.event}});
    });
    ASSERT_TRUE(card.insert());
    ASSERT_EQ(inserted.wait_for(20s), std::future_status::ready);
    Bytes reply = inserted.get();
    ASSERT_EQ(return_code(reply), 0u);
    ReaderState present = state_at(reply, 0);
    EXPECT_EQ(present.current, empty.event);  // the known state comes back as it was sent
    EXPECT_TRUE(present.event & SCARD_STATE_CHANGED);
    EXPECT_TRUE(present.event & SCARD_STATE_PRESENT);
    EXPECT_GT(present.cbAtr, 0u);
    EXPECT_LE(present.cbAtr, 33u);

    auto removed = std::async(std::launch::async, [&] {
        return wait(20000, {{card.reader(), present.event}});
    });
    card.remove();
    ASSERT_EQ(removed.wait_for(20s), std::future_status::ready);
    reply = removed.get();
    ASSERT_EQ(return_code(reply), 0u);
    ReaderState gone = state_at(reply, 0);
    EXPECT_TRUE(gone.event & SCARD_STATE_CHANGED);
    EXPECT_TRUE(gone.event & SCARD_STATE_EMPTY);
    EXPECT_EQ(gone.cbAtr, 0u);
}

// The notification entry carries, in the upper 16 bits of its known state, the number of
// readers the client knows. Knowing the two that pcscd has, nothing changed: a time-out of 0
// runs out at once.
TEST_F(StatusChangeOnPcscd, NotificationEntryCarriesTheReaderCount) {
    VirtualCard card;  // keeps the readers' states still
    ReaderState first = current(kFirstReader);
    ReaderState second = current(kSecondReader);
    Bytes reply = wait(
        0,
        {{kFirstReader, first.event}, {kSecondReader, second.event}, {kNotification, 0x00020000}});
    EXPECT_TRUE(zeroed(reply)) << to_hex(reply);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(SCARD_E_TIMEOUT));

    // A client that knows another count learns the count now at once, even with no time-out
    // to wait; the reader's own state comes with it.
    for (uint32_t known : {0u, 0x00010000u}) {
        reply = wait(20000, {{kFirstReader, first.event}, {kNotification, known}});
        ASSERT_EQ(return_code(reply), 0u);
        ReaderState notification = state_at(reply, 1);
        EXPECT_EQ(notification.current, known);
        EXPECT_EQ(notification.event, 0x00020000u | SCARD_STATE_CHANGED);
        EXPECT_EQ(notification.cbAtr, 0u);
        EXPECT_EQ(state_at(reply, 0).current, first.event);
    }
}

TEST_F(StatusChangeOnPcscd, TimeOutsArePcscs) {
    VirtualCard card;
    auto start = std::chrono::steady_clock::now();
    Bytes reply = wait(0, {{kFirstReader, SCARD_STATE_UNAWARE}});
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // no wait at all

    ReaderState known = state_at(reply, 0);
    start = std::chrono::steady_clock::now();
    reply = wait(300, {{kFirstReader, known.event}});
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(zeroed(reply)) << to_hex(reply);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(SCARD_E_TIMEOUT));
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 10s);
}

// A cancel sent over a second connection, with the same context bytes, ends a blocked wait.
TEST_F(StatusChangeOnPcscd, CancelFromAnotherConnectionEndsTheWait) {
    VirtualCard card;
    ReaderState known = current(kFirstReader);
    std::atomic<bool> done = false;
    auto waiting = std::async(std::launch::async, [&] {
        Bytes reply = wait(20000, {{kFirstReader, known.event}});
        done = true;
        return reply;
    });
    // A cancel that reaches PC/SC before the wait has begun ends nothing, so it is repeated
    // until the wait returns.
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(return_code(relay(context_call(kCancel))), 0u);
    }
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    Bytes reply = waiting.get();
    EXPECT_TRUE(zeroed(reply)) << to_hex(reply);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(SCARD_E_CANCELLED));
}

}  // namespace
}  // namespace kx_agent::test
