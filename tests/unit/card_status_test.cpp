// SCARD_IOCTL_STATUSA and STATUSW against the recording fake.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kStatus = ioctl::statusA;

// Status_Call: REDIR_SCARDHANDLE, fmszReaderNamesIsNULL, cchReaderLen, cbAtrLen, then the
// context (unless its referent is null) and handle arrays with the counts given.
struct StatusCall {
    uint32_t cb_context = 8;
    uint32_t referent = 0x00020000;
    uint32_t cb_handle = 8;
    uint32_t names_is_null = 0;
    uint32_t cb_atr = 32;
    uint32_t context_count = 8;
    Bytes context = from_hex("01 A0 00 00 00 00 00 00");
    uint32_t handle_count = 8;
    Bytes handle = from_hex("02 00 01 00 00 00 00 00");

    Bytes message() const {
        Ndr body;
        body.u32(cb_context).u32(referent).u32(cb_handle).u32(0x00020004);
        body.u32(names_is_null).u32(0x40).u32(cb_atr);
        if (referent != 0) body.u32(context_count).bytes(context);
        body.u32(handle_count).bytes(handle);
        return call_message(kStatus, body.data());
    }
};

StatusCall with(auto change) {
    StatusCall call;
    change(call);
    return call;
}

// The fake's card is powered and negotiable with T=1 in use: SCARD_SPECIFIC (6) for the client.
// The names go back in the first referent, padded to 8 with the rest of the object buffer.
TEST(Status, AnswersNamesStateProtocolAndAtr) {
    FakePcsc fake;
    fake.status_names = std::string("Reader ABCDEF\0\0", 15);
    // pcsc-lite's present, powered, negotiable, with event count 5.
    fake.status_state = 0x00050034;
    fake.active_protocol = SCARD_PROTOCOL_T1;
    Bytes reply = relay(StatusCall{}.message());
    // n = 15, 60 + 15 padded to 80: OutputBufferLength 96.
    EXPECT_EQ(to_hex(reply),
              "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 60 00 00 00 "
              "01 10 08 00 CC CC CC CC 50 00 00 00 00 00 00 00 "
              "00 00 00 00 0F 00 00 00 00 00 02 00 06 00 00 00 02 00 00 00 "
              "3B 80 80 01 01 " +
                  to_hex(Bytes(27, 0)) +
                  " 05 00 00 00 0F 00 00 00 "
                  "52 65 61 64 65 72 20 41 42 43 44 45 46 00 00 00 00 00 00 00");
    ASSERT_EQ(fake.count("status"), 1u);
    const PcscCall& call = *fake.last("status");
    EXPECT_EQ(call.target, 0x00010002u);
    // The names in the agent's own buffer, the whole 32-byte ATR buffer.
    EXPECT_EQ(call.args, (std::vector<uint64_t>{1, 1024, 32}));
}

// The object buffer, 60 + n, is padded to a multiple of 8.
TEST(Status, NamesArePaddedToEight) {
    struct Case {
        std::size_t n;
        std::size_t pad;
    };
    for (auto [n, pad] :
         {Case{20, 0}, Case{16, 4}, Case{15, 5}, Case{14, 6}, Case{13, 7}, Case{4, 0}}) {
        FakePcsc fake;
        fake.status_names = std::string(n - 2, 'r') + std::string(2, '\0');
        Bytes reply = relay(StatusCall{}.message());
        ASSERT_EQ(reply.size(), 38 + 60 + n + pad) << n;
        EXPECT_EQ(u32_at(reply, 30), 60 + n + pad) << n;
        EXPECT_EQ(u32_at(reply, 18), 76 + n + pad) << n;
        EXPECT_EQ(u32_at(reply, 42), n);
        EXPECT_EQ(u32_at(reply, 94), n);
        EXPECT_EQ(std::string(reply.begin() + 98, reply.begin() + 98 + n), fake.status_names);
        EXPECT_EQ(Bytes(reply.begin() + 98 + n, reply.end()), Bytes(pad, 0)) << n;
    }
}

// cbAtrLen is unused ([MS-RDPESC] 2.2.2.18): PC/SC is offered the whole 32-byte pbAtr whatever
// the call says, and the whole ATR comes back.
TEST(Status, AtrComesBackWhateverCbAtrLenSays) {
    for (uint32_t requested : {36u, 32u, 3u, 2u, 0u, 0xFFFFFFFFu}) {
        FakePcsc fake;
        Bytes reply = relay(with([&](StatusCall& c) { c.cb_atr = requested; }).message());
        ASSERT_EQ(return_code(reply), 0u) << requested;
        ASSERT_EQ(reply.size(), 110u) << requested;
        EXPECT_EQ(fake.last("status")->args[2], 32u) << requested;
        EXPECT_EQ(u32_at(reply, 90), 5u) << requested;
        Bytes atr(reply.begin() + 58, reply.begin() + 90);
        EXPECT_EQ(Bytes(atr.begin(), atr.begin() + 5), fake.atr);
        EXPECT_EQ(Bytes(atr.begin() + 5, atr.end()), Bytes(27, 0));
    }
}

// The handle alone names the card: a context of any form reaches nothing, the names come back
// in the first referent whatever referents the call used.
TEST(Status, TheHandleAloneNamesTheCard) {
    const StatusCall cases[] = {
        with([](StatusCall& c) { c.referent = 0xDEADBEEF; }),
        with([](StatusCall& c) { c.context = Bytes(8, 0); }),
        with([](StatusCall& c) {  // as Connect_Return hands it out: no context array
            c.cb_context = 0;
            c.referent = 0;
        }),
        with([](StatusCall& c) {  // empty, with a referent and an empty array
            c.context = {};
            c.cb_context = c.context_count = 0;
        }),
    };
    for (const StatusCall& c : cases) {
        FakePcsc fake;
        Bytes reply = relay(c.message());
        ASSERT_EQ(return_code(reply), 0u) << to_hex(c.message());
        EXPECT_EQ(u32_at(reply, 46), 0x00020000u);
        ASSERT_EQ(fake.count("status"), 1u);
        EXPECT_EQ(fake.last("status")->target, 0x00010002u);
    }
}

// Every failure is the zeroed Status_Return: 56 bytes, ReturnCode alone set.
TEST(Status, FailuresAnswerTheZeroedReturn) {
    struct Case {
        const char* what;
        Bytes call;
        std::optional<LONG> pcsc;  // the service's failure; none: refused before PC/SC
        uint32_t expected;
    };
    Bytes wide = StatusCall{}.message();
    wide[2] = 0xCC;  // SCARD_IOCTL_STATUSW
    Ndr lying;       // a context count that differs, answered before anything after it is read
    lying.u32(8).u32(0x00020000).u32(8).u32(0x00020004).u32(0).u32(0).u32(32).u32(4);
    const Case cases[] = {
        {"A, removed card", StatusCall{}.message(), SCARD_W_REMOVED_CARD, 0x80100069},
        {"W, removed card", wide, SCARD_W_REMOVED_CARD, 0x80100069},
        {"A, unknown handle", StatusCall{}.message(), SCARD_E_INVALID_HANDLE, 0x80100003},
        {"A, ATR larger than pbAtr", StatusCall{}.message(), SCARD_E_INSUFFICIENT_BUFFER,
         0x80100008},
        {"context count differs",
         with([](StatusCall& c) { c.context_count = 4; }).message(),
         {},
         0x80100011},
        {"handle count differs",
         with([](StatusCall& c) { c.handle_count = 4; }).message(),
         {},
         0x80100011},
        {"context count differs, nothing after it",
         call_message(kStatus, lying.data()),
         {},
         0x80100011},
        {"16-byte handle",
         with([](StatusCall& c) {
             c.handle = Bytes(16, 1);
             c.cb_handle = c.handle_count = 16;
         }).message(),
         {},
         0x80100003},
        {"zero handle",
         with([](StatusCall& c) { c.handle = Bytes(8, 0); }).message(),
         {},
         0x80100003},
        // [range(0, 16)] of cbHandle and of the context inside the handle.
        {"17-byte handle",
         with([](StatusCall& c) {
             c.handle = Bytes(17, 1);
             c.cb_handle = c.handle_count = 17;
         }).message(),
         {},
         0x80100004},
        {"17-byte context in the handle",
         with([](StatusCall& c) {
             c.context = Bytes(17, 1);
             c.cb_context = c.context_count = 17;
         }).message(),
         {},
         0x80100004},
        {"cut short", Bytes(wide.begin(), wide.end() - 1), {}, 0x80100004},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        if (c.pcsc) fake.results["status"] = *c.pcsc;
        Ndr expected;
        expected.bytes({3, 3, 0x72, 0x44, 0x43, 0x49}).u32(1).u32(2).u32(0).u32(72);
        expected.bytes(from_hex("01 10 08 00 CC CC CC CC")).u32(56).u32(0).u32(c.expected);
        EXPECT_EQ(to_hex(relay(c.call)), to_hex(expected.zeros(52).data())) << c.what;
        EXPECT_EQ(fake.calls.size(), c.pcsc ? 1u : 0u) << c.what;
    }
}

// A length query carries the names themselves: servers that ask Status that way (xrdp) hand
// their programs what the array holds.
TEST(Status, LengthOnlyQueryAnswersTheLength) {
    FakePcsc fake;
    fake.status_names = std::string("Reader A\0\0", 10);
    Bytes reply = relay(with([](StatusCall& c) { c.names_is_null = 1; }).message());
    ASSERT_EQ(reply.size(), 38u + 72u);
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 10u);
    EXPECT_EQ(u32_at(reply, 94), 10u);
    EXPECT_EQ(to_hex(Bytes(reply.begin() + 98, reply.end())),
              "52 65 61 64 65 72 20 41 00 00 00 00");
    EXPECT_EQ(reply, relay(StatusCall{}.message()));
    // The names are fetched all the same, so the length is that of the list a client gets.
    EXPECT_EQ(fake.last("status")->args, (std::vector<uint64_t>{1, 1024, 32}));
}

// A service that succeeds without storing names, and one that reports them longer than the
// buffer it was given.
class OddStatusPcsc : public FakePcsc {
public:
    LONG status(SCARDHANDLE card, char*, DWORD* names_length, DWORD*, DWORD*, BYTE*,
                DWORD*) override {
        record({"status", static_cast<uint64_t>(card), {}, {}, {}});
        *names_length = 10;
        return SCARD_S_SUCCESS;
    }
};

TEST(Status, NamesOfEveryLengthTheServiceGives) {
    {
        OddStatusPcsc fake;
        Bytes reply = relay(StatusCall{}.message());
        // No names stored: an empty multi-string, its two NULs.
        ASSERT_EQ(reply.size(), 102u);
        EXPECT_EQ(u32_at(reply, 42), 2u);
        EXPECT_EQ(Bytes(reply.begin() + 98, reply.end()), Bytes(4, 0));
    }
    {
        // Longer than the agent's buffer: asked again in one of their length.
        FakePcsc fake;
        fake.status_names = std::string(2000, 'r') + std::string(2, '\0');
        Bytes reply = relay(StatusCall{}.message());
        ASSERT_EQ(return_code(reply), 0u);
        EXPECT_EQ(u32_at(reply, 42), 2002u);
        EXPECT_EQ(std::string(reply.begin() + 98, reply.begin() + 98 + 2002), fake.status_names);
        ASSERT_EQ(fake.count("status"), 2u);
        EXPECT_EQ(fake.last("status")->args[1], 2002u);
    }
    {
        // Beyond any reader's names: not asked for.
        FakePcsc fake;
        fake.status_names = std::string(70000, 'r');
        EXPECT_EQ(return_code(relay(StatusCall{}.message())), 0x80100008u);
        EXPECT_EQ(fake.count("status"), 1u);
        // Within that bound, but beyond the 65536 bytes cBytes may count once in UTF-16.
        fake.status_names = std::string(40000, 'r');
        Bytes wide = StatusCall{}.message();
        wide[2] = 0xCC;  // SCARD_IOCTL_STATUSW
        EXPECT_EQ(return_code(relay(wide)), 0x80100008u);
        EXPECT_EQ(return_code(relay(StatusCall{}.message())), 0u);
    }
    for (uint32_t names_is_null : {0u, 1u}) {
        // A length larger than the buffer the service filled is its inconsistency.
        FakePcsc fake;
        fake.reported_length = 0x7FFFFFF0;
        Bytes reply =
            relay(with([&](StatusCall& c) { c.names_is_null = names_is_null; }).message());
        ASSERT_EQ(reply.size(), 94u);
        EXPECT_EQ(return_code(reply), 0x80100001u);
    }
}

TEST(Status, TruncatedCallsNeverReachPcsc) {
    for (const Bytes& full :
         {StatusCall{}.message(), with([](StatusCall& c) { c.names_is_null = 1; }).message()}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
    }
}

}  // namespace
}  // namespace kx_agent::test
