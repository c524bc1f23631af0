// SCARD_IOCTL_ESTABLISHCONTEXT, RELEASECONTEXT, ISVALIDCONTEXT and CANCEL against the fake.
#include <gtest/gtest.h>

#include "fake_pcsc.h"
#include "smartcard/smartcard.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kEstablish = ioctl::establishContext;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kIsValid = ioctl::isValidContext;
constexpr uint32_t kCancel = ioctl::cancel;

Bytes context_call(uint32_t code, uint32_t cb, uint32_t count, const Bytes& reference) {
    return call_message(code, Ndr().u32(cb).u32(0x00020000).u32(count).bytes(reference).data());
}

TEST(EstablishContext, AnswersTheContextAsEightReferenceBytes) {
    FakePcsc fake;
    fake.context = 0xA001;
    Bytes reply = relay(call_message(kEstablish, Ndr().u32(2).data(), 7, 9));
    EXPECT_EQ(to_hex(reply),
              "03 03 72 44 43 49 07 00 00 00 09 00 00 00 00 00 00 00 28 00 00 00 "
              "01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 "
              "00 00 00 00 08 00 00 00 00 00 02 00 08 00 00 00 01 A0 00 00 00 00 00 00");
    ASSERT_EQ(fake.count("establish_context"), 1u);
    EXPECT_EQ(fake.last("establish_context")->args[0], 2u);
}

// EstablishContext_Return zeroed: ReturnCode, cbContext 0, a null pbContext, padded to 8.
TEST(EstablishContext, FailureIsTheZeroedReturnWithPcscCode) {
    FakePcsc fake;
    fake.results["establish_context"] = static_cast<LONG>(0x8010001D);
    Bytes reply = relay(call_message(kEstablish, Ndr().u32(2).data()));
    EXPECT_EQ(to_hex(Bytes(reply.begin() + 18, reply.end())),
              "20 00 00 00 01 10 08 00 CC CC CC CC 10 00 00 00 00 00 00 00 "
              "1D 00 10 80 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(ContextCalls, ReferenceBytesComeBackToPcscWhole) {
    FakePcsc fake;
    for (auto [code, function] :
         {std::pair{kRelease, "release_context"}, std::pair{kIsValid, "is_valid_context"},
          std::pair{kCancel, "cancel"}}) {
        Bytes reply = relay(context_call(code, 8, 8, from_hex("01 A0 00 00 00 00 00 00")));
        EXPECT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), 0u);
        ASSERT_EQ(fake.count(function), 1u) << function;
        EXPECT_EQ(fake.last(function)->target, 0xA001u);
    }
    // Four reference bytes are a 32-bit value; 16 decode to 0, which PC/SC then judges.
    relay(context_call(kIsValid, 4, 4, from_hex("02 01 00 00")));
    EXPECT_EQ(fake.last("is_valid_context")->target, 0x0102u);
    fake.results["is_valid_context"] = SCARD_E_INVALID_HANDLE;
    Bytes reply = relay(context_call(kIsValid, 16, 16, Bytes(16, 0x55)));
    EXPECT_EQ(fake.last("is_valid_context")->target, 0u);
    EXPECT_EQ(return_code(reply), 0x80100003u);
}

// With no context there is nothing to release or cancel; SCardIsValidContext(NULL) is
// SCARD_E_INVALID_HANDLE on Windows.
TEST(ContextCalls, EmptyContextIsAnsweredWithoutPcsc) {
    FakePcsc fake;
    for (auto [code, expected] :
         {std::pair{kRelease, 0u}, std::pair{kIsValid, 0x80100003u}, std::pair{kCancel, 0u}}) {
        Bytes reply = relay(call_message(code, Ndr().u32(0).u32(0).data()));
        EXPECT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), expected) << code;
    }
    EXPECT_TRUE(fake.calls.empty());
}

TEST(ContextCalls, CountThatDiffersIsInvalidValue) {
    FakePcsc fake;
    // Said once, when carried out: learning the call's order first says nothing.
    Bytes call = context_call(kIsValid, 8, 4, from_hex("01 00 00 00"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(smartcard::decode(call).order.kind, smartcard::CallOrder::Kind::independent);
    Bytes reply = relay(call);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: isValidContext(), error: wrong size of card ctx: 4\n");
    EXPECT_EQ(return_code(reply), 0x80100011u);

    testing::internal::CaptureStdout();
    EXPECT_EQ(return_code(relay(context_call(kRelease, 8, 4, from_hex("01 00 00 00")))),
              0x80100011u);
    EXPECT_EQ(return_code(relay(context_call(kCancel, 8, 4, from_hex("01 00 00 00")))),
              0x80100011u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(fake.calls.empty());
}

TEST(ContextCalls, PcscResultPassesThroughUnchanged) {
    FakePcsc fake;
    fake.results["release_context"] = SCARD_E_INVALID_HANDLE;
    Bytes reply = relay(context_call(kRelease, 8, 8, Bytes(8, 1)));
    EXPECT_EQ(return_code(reply), 0x80100003u);
}

// Every prefix of a valid call is answered, without reading outside the message and without
// reaching PC/SC.
TEST(ContextCalls, TruncatedCallsNeverReachPcsc) {
    for (const Bytes& full :
         {call_message(kEstablish, Ndr().u32(2).data()), context_call(kRelease, 8, 8, Bytes(8, 1)),
          context_call(kIsValid, 8, 8, Bytes(8, 1)), context_call(kCancel, 8, 8, Bytes(8, 1))}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
        // A Common Type Header of another NDR form (big-endian, version 2, another length) is
        // refused as well: its fields would be misread.
        for (std::size_t at : {15u, 14u, 16u}) {
            FakePcsc fake;
            Bytes other = full;
            other[at] ^= 0x12;
            EXPECT_EQ(return_code(relay(other)), 0x80100004u) << to_hex(other);
            EXPECT_TRUE(fake.calls.empty());
        }
    }
}

}  // namespace
}  // namespace kx_agent::test
