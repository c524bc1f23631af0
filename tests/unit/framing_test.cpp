// The outer framing of relayed calls, the Long_Return reply and dispatch by control code.
#include <gtest/gtest.h>

#include "fake_pcsc.h"
#include "server/process.h"
#include "smartcard/wire/ndr.h"
#include "smartcard/smartcard.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

Bytes bare_call(uint32_t code, uint32_t device_id, uint32_t completion_id) {
    return Ndr().bytes({3, 3}).u32(code).u32(device_id).u32(completion_id).data();
}

// The reply to a call that is not carried out: its _Return of `object_length` bytes, zeroed but
// for SCARD_E_UNSUPPORTED_FEATURE.
std::string unsupported_reply(const char* device_id, const char* completion_id,
                              uint32_t object_length = 8) {
    Bytes lengths = Ndr().u32(16 + object_length).data();
    Bytes object = Ndr().u32(object_length).data();
    return std::string("03 03 72 44 43 49 ") + device_id + " " + completion_id + " 00 00 00 00 " +
           to_hex(lengths) + " 01 10 08 00 CC CC CC CC " + to_hex(object) +
           " 00 00 00 00 22 00 10 80 " + to_hex(Bytes(object_length - 4, 0));
}

TEST(Framing, HandshakeIsAnsweredWithTwoBytes) {
    EXPECT_EQ(to_hex(relay(from_hex("03 01"))), "03 02");
}

TEST(Framing, UnsupportedCallGetsItsLongReturn) {
    FakePcsc fake;
    testing::internal::CaptureStdout();
    Bytes reply = relay(bare_call(ioctl::introduceReaderGroupA, 7, 9));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(to_hex(reply), unsupported_reply("07 00 00 00", "09 00 00 00"));
    EXPECT_TRUE(fake.calls.empty());
}

TEST(Framing, EveryUnsupportedCodeAnswersWithoutReading) {
    FakePcsc fake;
    // The reader database calls answer a Long_Return; LocateCards (LocateCards_Return) and
    // GetReaderIcon (GetReaderIcon_Return) their own structures.
    struct Case {
        uint32_t code;
        uint32_t object_length;
    };
    for (auto [code, object_length] :
         {Case{ioctl::introduceReaderGroupA, 8}, Case{ioctl::introduceReaderGroupW, 8},
          Case{ioctl::forgetReaderGroupA, 8}, Case{ioctl::forgetReaderGroupW, 8},
          Case{ioctl::introduceReaderA, 8}, Case{ioctl::introduceReaderW, 8},
          Case{ioctl::forgetReaderA, 8}, Case{ioctl::forgetReaderW, 8},
          Case{ioctl::addReaderToGroupA, 8}, Case{ioctl::addReaderToGroupW, 8},
          Case{ioctl::removeReaderFromGroupA, 8}, Case{ioctl::removeReaderFromGroupW, 8},
          Case{ioctl::locateCardsA, 16}, Case{ioctl::locateCardsW, 16},
          Case{ioctl::getReaderIcon, 16}}) {
        Bytes reply = relay(bare_call(code, 0x11223344, 0x55667788));
        EXPECT_EQ(to_hex(reply), unsupported_reply("44 33 22 11", "88 77 66 55", object_length))
            << std::hex << code;
    }
    EXPECT_TRUE(fake.calls.empty());
}

// Any program of the remote session may send unknown codes without end: said only on request.
TEST(Framing, UnknownCodeIsAnsweredAndLoggedWhenVerbose) {
    for (auto [code, digits] : {std::pair{0x000900E4u, "590052"}, std::pair{0x00090015u, "589845"},
                                std::pair{0x00090010u, "589840"}}) {
        for (const bool verbose : {false, true}) {
            Bytes reply;
            EXPECT_EQ(printed(verbose, [&] { reply = relay(bare_call(code, 7, 9)); }),
                      verbose ? std::string("Unknown smarcard operation: ") + digits + "\n" : "");
            EXPECT_EQ(to_hex(reply), unsupported_reply("07 00 00 00", "09 00 00 00"));
        }
    }
}

TEST(Framing, MessagesThatEndTheRelay) {
    FakePcsc fake;
    const auto& services = fake.services();
    Bytes reply;
    data_view::DataView view(reply, 0);
    EXPECT_FALSE(server::process(from_hex("01 03"), view, services));
    EXPECT_FALSE(server::process(from_hex("03 02"), view, services));
    EXPECT_FALSE(server::process(from_hex("03"), view, services));
    EXPECT_FALSE(server::process({}, view, services));
    for (const bool verbose : {false, true}) {
        const auto said = printed(
            verbose,
            [&] {
                EXPECT_FALSE(server::process(from_hex("03 03 14 00 09 00 07 00 00 00 09 00 00"),
                                             view, services));
            },
            true);
        EXPECT_EQ(said, verbose ? "call of 13 bytes is too short for its header\n" : "");
    }
    EXPECT_TRUE(reply.empty());
}

TEST(Framing, Padding) {
    EXPECT_EQ(smartcard::padding(5, 4), 3u);
    EXPECT_EQ(smartcard::padding(8, 4), 0u);
    EXPECT_EQ(smartcard::padding(12, 8), 4u);
    EXPECT_EQ(smartcard::padding(0, 8), 0u);
}

// A call the agent cannot take on (no thread to run it) gets its own _Return, zeroed, with the
// code, and keeps its ids.
TEST(Framing, RefusedCallsAnswerTheirOwnZeroedReturn) {
    for (auto [code, object_length] : {std::pair{0x000900A4u, 16u}, std::pair{0x000900CCu, 56u},
                                       std::pair{0x000900BCu, 8u}, std::pair{0x00090015u, 8u}}) {
        Bytes reply = server::refusal(smartcard::decode(bare_call(code, 7, 9)).head,
                                      smartcard::ReturnCode{0x80100006});
        EXPECT_EQ(reply.size(), 38 + object_length) << std::hex << code;
        EXPECT_EQ(u32_at(reply, 6), 7u);
        EXPECT_EQ(u32_at(reply, 10), 9u);
        EXPECT_EQ(return_code(reply), 0x80100006u);
    }
}

}  // namespace
}  // namespace kx_agent::test
