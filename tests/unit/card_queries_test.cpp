// SCARD_IOCTL_STATE, GETTRANSMITCOUNT and ACCESSSTARTEDEVENT against the recording fake.
#include <gtest/gtest.h>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kState = 0x000900C4;
constexpr uint32_t kTransmit = 0x000900D0;
constexpr uint32_t kDisconnect = 0x000900B8;
constexpr uint32_t kAccessStarted = 0x000900E0;
constexpr uint32_t kTransmitCount = 0x00090100;
constexpr const char* kHead = "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 ";

// A call on the card handle 0x00010002 (context 0xA001) with the given fixed words.
Bytes on_card(uint32_t code, std::initializer_list<uint32_t> words, uint32_t handle_count = 8) {
    Ndr body;
    body.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
    for (uint32_t word : words) body.u32(word);
    body.context(0xA001).u32(handle_count).u64(0x00010002);
    return call_message(code, body.data());
}

Bytes transmit_select() {
    Ndr body;
    body.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
    body.u32(SCARD_PROTOCOL_T1).u32(0).u32(0).u32(5).u32(0x00020008).u32(0).u32(0).u32(258);
    body.context(0xA001).context(0x00010002);
    body.array(from_hex("00 A4 04 00 00")).pad(4);
    return call_message(kTransmit, body.data());
}

// The fake's card is PRESENT | POWERED | NEGOTIABLE in pcsc-lite's bits: SCARD_NEGOTIABLE (5)
// for the client.
TEST(State, AnswersStateProtocolAndAtr) {
    struct Case {
        const char* what;
        uint32_t fpbAtrIsNULL;
        uint32_t cbAtrLen;
        const char* body;  // from OutputBufferLength on
    };
    const Case cases[] = {
        {"ATR asked for", 0, 36,
         "30 00 00 00 01 10 08 00 CC CC CC CC 20 00 00 00 00 00 00 00 "
         "00 00 00 00 05 00 00 00 02 00 00 00 05 00 00 00 00 00 02 00 "
         "05 00 00 00 3B 80 80 01 01 00 00 00"},
        {"SCARD_AUTOALLOCATE", 0, 0xFFFFFFFF,
         "30 00 00 00 01 10 08 00 CC CC CC CC 20 00 00 00 00 00 00 00 "
         "00 00 00 00 05 00 00 00 02 00 00 00 05 00 00 00 00 00 02 00 "
         "05 00 00 00 3B 80 80 01 01 00 00 00"},
        {"length only", 1, 36,
         "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 "
         "00 00 00 00 05 00 00 00 02 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00"},
        {"no buffer", 0, 0,
         "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 "
         "00 00 00 00 05 00 00 00 02 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        Bytes reply = relay(on_card(kState, {c.fpbAtrIsNULL, c.cbAtrLen}));
        EXPECT_EQ(to_hex(reply), std::string(kHead) + c.body) << c.what;
        ASSERT_EQ(fake.count("status"), 1u) << c.what;
        EXPECT_EQ(fake.last("status")->target, 0x00010002u);
        EXPECT_EQ(fake.outstanding_allocations(), 0u);
    }
}

TEST(State, RefusesWhatCannotBeAnswered) {
    {
        FakePcsc fake;  // a 4-byte buffer for a 5-byte ATR
        EXPECT_EQ(return_code(relay(on_card(kState, {0, 4}))), 0x80100008u);
    }
    {
        FakePcsc fake;
        fake.results["status"] = SCARD_W_REMOVED_CARD;
        Bytes reply = relay(on_card(kState, {0, 36}));
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
    }
    {
        FakePcsc fake;  // a handle count that lies
        EXPECT_EQ(return_code(relay(on_card(kState, {0, 36}, 4))), 0x80100011u);
        EXPECT_TRUE(fake.calls.empty());
    }
    EXPECT_EQ(prefixes_not_refused(on_card(kState, {0, 36})), std::vector<std::size_t>{});
}

TEST(TransmitCount, CountsCompletedTransmitsUntilDisconnect) {
    FakePcsc fake;
    auto count = [] {
        Bytes reply = relay(on_card(kTransmitCount, {}));
        EXPECT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), 0u);
        return u32_at(reply, 42);
    };
    relay(on_card(kDisconnect, {SCARD_LEAVE_CARD}));  // starts from nothing
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(return_code(relay(transmit_select())), 0u);
    EXPECT_EQ(return_code(relay(transmit_select())), 0u);
    // A transmit that PC/SC refuses did not complete.
    fake.results["transmit"] = SCARD_W_REMOVED_CARD;
    relay(transmit_select());
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(to_hex(relay(on_card(kTransmitCount, {}))),
              std::string(kHead) +
                  "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 "
                  "00 00 00 00 02 00 00 00");
    relay(on_card(kDisconnect, {SCARD_LEAVE_CARD}));
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(return_code(relay(on_card(kTransmitCount, {}, 4))), 0x80100011u);
    EXPECT_EQ(prefixes_not_refused(on_card(kTransmitCount, {})), std::vector<std::size_t>{});
}

TEST(AccessStartedEvent, AnswersWhetherTheServiceRuns) {
    Bytes call = call_message(kAccessStarted, Ndr().u32(0).data());
    {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(call)),
                  std::string(kHead) +
                      "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 "
                      "00 00 00 00 00 00 00 00");
        ASSERT_EQ(fake.count("establish_context"), 1u);
        EXPECT_EQ(fake.last("establish_context")->args, std::vector<uint64_t>{SCARD_SCOPE_SYSTEM});
        ASSERT_EQ(fake.count("release_context"), 1u);
        EXPECT_EQ(fake.last("release_context")->target, fake.context);
    }
    {
        FakePcsc fake;
        fake.results["establish_context"] = SCARD_E_NO_SERVICE;
        EXPECT_EQ(return_code(relay(call)), static_cast<uint32_t>(SCARD_E_NO_SERVICE));
        EXPECT_EQ(fake.count("release_context"), 0u);
    }
    // A Windows server sends the call as 4 bare bytes ([MS-RDPESC] 2.2.2.30): such a body is the
    // call, whatever it holds, so the headered call's prefix of 4 body bytes is one too.
    {
        FakePcsc fake;
        Bytes bare = Ndr().bytes({3, 3}).u32(kAccessStarted).u32(1).u32(2).u32(0xCDCDCDCD).data();
        EXPECT_EQ(to_hex(relay(bare)), to_hex(relay(call)));
        EXPECT_EQ(fake.count("establish_context"), 2u);
    }
    auto refused = prefixes_not_refused(call);
    std::erase(refused, 18u);
    EXPECT_EQ(refused, std::vector<std::size_t>{});
}

}  // namespace
}  // namespace kx_agent::test
