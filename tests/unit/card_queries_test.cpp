// SCARD_IOCTL_STATE, GETTRANSMITCOUNT, SETATTRIB and ACCESSSTARTEDEVENT against the recording
// fake.
#include <gtest/gtest.h>

#include <string>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kState = ioctl::state;
constexpr uint32_t kConnect = ioctl::connectA;
constexpr uint32_t kReconnect = ioctl::reconnect;
constexpr uint32_t kTransmit = ioctl::transmit;
constexpr uint32_t kDisconnect = ioctl::disconnect;
constexpr uint32_t kSetAttrib = ioctl::setAttrib;
constexpr uint32_t kAccessStarted = ioctl::accessStartedEvent;
constexpr uint32_t kTransmitCount = ioctl::getTransmitCount;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint64_t kCard = 0x00010002;
constexpr const char* kHead = "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 ";

// A call on a card handle (context 0xA001) with the given fixed words, then the context and
// handle arrays and `tail`.
Bytes on_card(uint32_t code, std::initializer_list<uint32_t> words, uint64_t card = kCard,
              const Bytes& tail = {}, uint32_t handle_count = 8) {
    Ndr body;
    body.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
    for (uint32_t word : words) body.u32(word);
    body.context(0xA001).u32(handle_count).u64(card).bytes(tail);
    return call_message(code, body.data());
}

Bytes transmit_select(uint64_t card) {
    Ndr body;
    body.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
    body.u32(SCARD_PROTOCOL_T1).u32(0).u32(0).u32(5).u32(0x00020008).u32(0).u32(0).u32(258);
    body.context(0xA001).context(card);
    body.array(from_hex("00 A4 04 00 00")).pad(4);
    return call_message(kTransmit, body.data());
}

// ConnectA_Call on the context 0xA001.
Bytes connect_call(const std::string& reader) {
    Ndr body;
    body.u32(0x00020000).u32(8).u32(0x00020004).u32(SCARD_SHARE_SHARED).u32(3);
    auto length = static_cast<uint32_t>(reader.size() + 1);
    body.u32(length).u32(0).u32(length).text(reader).zeros(1).pad(4).context(0xA001);
    return call_message(kConnect, body.data());
}

// The fake's card is PRESENT | POWERED | NEGOTIABLE in pcsc-lite's bits with T=1 in use:
// SCARD_SPECIFIC (6) for the client.
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
         "00 00 00 00 06 00 00 00 02 00 00 00 05 00 00 00 00 00 02 00 "
         "05 00 00 00 3B 80 80 01 01 00 00 00"},
        {"SCARD_AUTOALLOCATE", 0, 0xFFFFFFFF,
         "30 00 00 00 01 10 08 00 CC CC CC CC 20 00 00 00 00 00 00 00 "
         "00 00 00 00 06 00 00 00 02 00 00 00 05 00 00 00 00 00 02 00 "
         "05 00 00 00 3B 80 80 01 01 00 00 00"},
        {"length only", 1, 36,
         "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 "
         "00 00 00 00 06 00 00 00 02 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00"},
        {"no buffer", 0, 0,
         "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 "
         "00 00 00 00 06 00 00 00 02 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        Bytes reply = relay(on_card(kState, {c.fpbAtrIsNULL, c.cbAtrLen}));
        EXPECT_EQ(to_hex(reply), std::string(kHead) + c.body) << c.what;
        ASSERT_EQ(fake.count("status"), 1u) << c.what;
        EXPECT_EQ(fake.last("status")->target, 0x00010002u);
        EXPECT_EQ(fake.outstanding_allocations(), 0u);
    }
    EXPECT_EQ(prefixes_not_refused(on_card(kState, {0, 36})), std::vector<std::size_t>{});
}

// Every failure is the call's own _Return, zeroed: State_Return 24 bytes, GetTransmitCount_Return
// 8, SetAttrib's Long_Return 8.
TEST(CardQueries, FailuresAnswerTheZeroedReturn) {
    const std::string state24 = "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 ";
    const std::string long8 = "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 ";
    // g++ 12 -O2 finds an overlapping memcpy in std::string's inlined insert that cannot happen.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
    const std::string zeros20 = " " + to_hex(Bytes(20, 0));
#pragma GCC diagnostic pop
    struct Case {
        const char* what;
        Bytes call;
        const char* function;  // reached, answering `result`; null: refused before PC/SC
        LONG result;
        std::string reply;  // from OutputBufferLength on
    };
    Bytes cut = on_card(kState, {0, 36});
    cut.pop_back();
    const Bytes attribute = Ndr().u32(3).bytes({1, 2, 3}).pad(4).data();
    const Case cases[] = {
        {"State, ATR larger than the buffer", on_card(kState, {0, 4}), "status", SCARD_S_SUCCESS,
         state24 + "08 00 10 80" + zeros20},
        {"State, removed card", on_card(kState, {0, 36}), "status", SCARD_W_REMOVED_CARD,
         state24 + "69 00 10 80" + zeros20},
        {"State, handle count lies", on_card(kState, {0, 36}, kCard, {}, 4), nullptr, 0,
         state24 + "11 00 10 80" + zeros20},
        {"State, cut short", cut, nullptr, 0, state24 + "04 00 10 80" + zeros20},
        {"GetTransmitCount, never connected", on_card(kTransmitCount, {}, 0x0BAD0001), nullptr, 0,
         long8 + "03 00 10 80 00 00 00 00"},
        {"GetTransmitCount, handle count lies", on_card(kTransmitCount, {}, kCard, {}, 4), nullptr,
         0, long8 + "11 00 10 80 00 00 00 00"},
        {"SetAttrib, refused by the driver",
         on_card(kSetAttrib, {0x00090204, 3, 0x00020008}, kCard, attribute), "set_attrib",
         SCARD_E_INVALID_PARAMETER, long8 + "04 00 10 80 00 00 00 00"},
        {"SetAttrib, count lies",
         on_card(kSetAttrib, {0x00090204, 2, 0x00020008}, kCard, attribute), nullptr, 0,
         long8 + "11 00 10 80 00 00 00 00"},
        {"SetAttrib, longer than an attribute may be",
         on_card(kSetAttrib, {0x00090204, 65537, 0x00020008}, kCard, attribute), nullptr, 0,
         long8 + "04 00 10 80 00 00 00 00"},
        {"SetAttrib, a length without the bytes", on_card(kSetAttrib, {0x00090204, 3, 0}), nullptr,
         0, long8 + "04 00 10 80 00 00 00 00"},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        if (c.function != nullptr) fake.results[c.function] = c.result;
        EXPECT_EQ(to_hex(relay(c.call)), std::string(kHead) + c.reply) << c.what;
        EXPECT_EQ(fake.calls.size(), c.function != nullptr ? 1u : 0u) << c.what;
    }
}

// The handle as Connect_Return hands it out, its context empty, names the card alone.
TEST(CardQueries, TheHandleAloneNamesTheCard) {
    FakePcsc fake;
    fake.card = 0x0007D001;
    ASSERT_EQ(return_code(relay(connect_call("Reader alone"))), 0u);
    auto alone = [](uint32_t code, std::initializer_list<uint32_t> words, const Bytes& tail = {}) {
        Ndr body;
        body.u32(0).u32(0).u32(8).u32(0x00020004);
        for (uint32_t word : words) body.u32(word);
        body.context(0x0007D001).bytes(tail);
        return return_code(relay(call_message(code, body.data())));
    };
    EXPECT_EQ(alone(kState, {0, 36}), 0u);
    EXPECT_EQ(alone(kTransmitCount, {}), 0u);
    EXPECT_EQ(alone(kSetAttrib, {0x00090204, 1, 0x00020008}, Ndr().u32(1).bytes({7}).pad(4).data()),
              0u);
    for (const char* function : {"status", "set_attrib"}) {
        ASSERT_NE(fake.last(function), nullptr) << function;
        EXPECT_EQ(fake.last(function)->target, 0x0007D001u) << function;
    }
    EXPECT_EQ(alone(kDisconnect, {SCARD_LEAVE_CARD}), 0u);
}

// The count is the reader's: the transmits completed on it through any handle since its card was
// inserted, the event counter (upper 16 bits of the reader's state) telling a new card. A handle
// that was never connected, or is disconnected, has no count.
TEST(TransmitCount, CountsTheReadersTransmitsSinceItsCardWasInserted) {
    FakePcsc fake;
    // The client's own context (0xA001), on which the handles below are connected.
    ASSERT_EQ(return_code(relay(
                  call_message(ioctl::establishContext, Ndr().u32(SCARD_SCOPE_SYSTEM).data()))),
              0u);
    auto connect = [&](uint64_t card, uint32_t insertion) {
        fake.card = card;
        fake.event_state = insertion << 16 | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
        ASSERT_EQ(return_code(relay(connect_call("Counted reader"))), 0u);
        ASSERT_NE(fake.last("get_status_change"), nullptr);
        EXPECT_EQ(fake.last("get_status_change")->text, "Counted reader");
        EXPECT_EQ(fake.last("get_status_change")->args[0], 0u);  // no wait
    };
    auto count = [](uint64_t card) {
        Bytes reply = relay(on_card(kTransmitCount, {}, card));
        EXPECT_EQ(reply.size(), 46u);
        return return_code(reply) == 0 ? u32_at(reply, 42) : return_code(reply);
    };
    const uint64_t a = 0x0007C001, b = 0x0007C002, c = 0x0007C003;
    connect(a, 1);
    EXPECT_EQ(count(a), 0u);
    EXPECT_EQ(return_code(relay(transmit_select(a))), 0u);
    EXPECT_EQ(return_code(relay(transmit_select(a))), 0u);
    // A transmit that PC/SC refuses did not complete.
    fake.results["transmit"] = SCARD_W_REMOVED_CARD;
    relay(transmit_select(a));
    fake.results.erase("transmit");
    EXPECT_EQ(to_hex(relay(on_card(kTransmitCount, {}, a))),
              std::string(kHead) +
                  "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 "
                  "00 00 00 00 02 00 00 00");
    // Another handle on the same card shares the count.
    connect(b, 1);
    relay(transmit_select(b));
    EXPECT_EQ(count(a), 3u);
    EXPECT_EQ(count(b), 3u);
    relay(on_card(kDisconnect, {SCARD_LEAVE_CARD}, a));
    EXPECT_EQ(count(a), 0x80100003u);
    EXPECT_EQ(count(b), 3u);
    // Another card in the reader: its count starts again.
    connect(c, 2);
    EXPECT_EQ(count(c), 0u);
    relay(transmit_select(c));
    EXPECT_EQ(count(b), 1u);
    // A handle reconnected after yet another card came.
    fake.event_state = 3u << 16 | SCARD_STATE_PRESENT;
    ASSERT_EQ(return_code(relay(on_card(kReconnect, {SCARD_SHARE_SHARED, 3, 0}, b))), 0u);
    EXPECT_EQ(count(c), 0u);
    EXPECT_EQ(prefixes_not_refused(on_card(kTransmitCount, {}, b)), std::vector<std::size_t>{});
    relay(on_card(kDisconnect, {SCARD_LEAVE_CARD}, b));
    // A released context takes its handles with it, as pcsc-lite does.
    Bytes release = call_message(kRelease, Ndr().u32(8).u32(0x00020000).context(0xA001).data());
    ASSERT_EQ(return_code(relay(release)), 0u);
    EXPECT_EQ(count(c), 0x80100003u);
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
