// SCARD_IOCTL_STATUSA against the recording fake.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kStatus = 0x000900C8;

// Status_Call: REDIR_SCARDHANDLE, fmszReaderNamesIsNULL, cchReaderLen, cbAtrLen, then the
// context and handle arrays with the counts given.
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
        body.u32(context_count).bytes(context).u32(handle_count).bytes(handle);
        return call_message(kStatus, body.data());
    }
};

StatusCall with(auto change) {
    StatusCall call;
    change(call);
    return call;
}

TEST(Status, AnswersNamesStateProtocolAndAtr) {
    FakePcsc fake;
    fake.status_names = std::string("Reader ABCDEF\0\0", 15);
    // pcsc-lite's present, powered, negotiable, with event count 5: SCARD_NEGOTIABLE (5).
    fake.status_state = 0x00050034;
    fake.active_protocol = SCARD_PROTOCOL_T1;
    Bytes reply = relay(StatusCall{}.message());
    // n = 15, one byte of padding: ObjectBufferLength 76, OutputBufferLength 92.
    EXPECT_EQ(to_hex(reply),
              "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 5C 00 00 00 "
              "01 10 08 00 CC CC CC CC 4C 00 00 00 00 00 00 00 "
              "00 00 00 00 0F 00 00 00 00 00 02 00 05 00 00 00 02 00 00 00 "
              "3B 80 80 01 01 " +
                  to_hex(Bytes(27, 0)) +
                  " 05 00 00 00 0F 00 00 00 "
                  "52 65 61 64 65 72 20 41 42 43 44 45 46 00 00 00");
    ASSERT_EQ(fake.count("status"), 1u);
    const PcscCall& call = *fake.last("status");
    EXPECT_EQ(call.target, 0x00010002u);
    EXPECT_EQ(call.args, (std::vector<uint64_t>{1, SCARD_AUTOALLOCATE, 32}));
    EXPECT_EQ(fake.outstanding_allocations(), 0u);
    ASSERT_EQ(fake.count("free_memory"), 1u);
    EXPECT_EQ(fake.last("free_memory")->target, 0xA001u);
}

// The names are padded so that 60 + n is a multiple of 4.
TEST(Status, NamesArePaddedToFour) {
    struct Case {
        std::size_t n;
        std::size_t pad;
    };
    for (auto [n, pad] : {Case{16, 0}, Case{15, 1}, Case{14, 2}, Case{13, 3}, Case{4, 0}}) {
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

// PC/SC is offered at most the 32-byte ATR buffer; pbAtr is always 32 bytes.
TEST(Status, AtrBufferIsThirtyTwoBytesAtMost) {
    struct Case {
        uint32_t requested;
        uint64_t offered;
        uint32_t answered;  // cbAtrLen in the reply, as the fake fills a 5-byte ATR
    };
    for (auto [requested, offered, answered] :
         {Case{36, 32, 5}, Case{32, 32, 5}, Case{3, 3, 3}, Case{0xFFFFFFFF, 32, 5}}) {
        FakePcsc fake;
        Bytes reply = relay(with([&](StatusCall& c) { c.cb_atr = requested; }).message());
        ASSERT_EQ(reply.size(), 110u) << requested;
        EXPECT_EQ(fake.last("status")->args[2], offered) << requested;
        EXPECT_EQ(u32_at(reply, 90), answered) << requested;
        Bytes atr(reply.begin() + 58, reply.begin() + 90);
        EXPECT_EQ(Bytes(atr.begin(), atr.begin() + answered),
                  Bytes(fake.atr.begin(), fake.atr.begin() + answered));
        EXPECT_EQ(Bytes(atr.begin() + answered, atr.end()), Bytes(32 - answered, 0));
    }
}

TEST(Status, NamesReferentEchoesThePbContextReferent) {
    for (uint32_t referent : {0x00020000u, 0xDEADBEEFu, 0u}) {
        FakePcsc fake;
        Bytes reply = relay(with([&](StatusCall& c) { c.referent = referent; }).message());
        EXPECT_EQ(u32_at(reply, 46), referent);
    }
}

TEST(Status, BadReferencesNeverReachPcsc) {
    struct Case {
        const char* what;
        StatusCall call;
        uint32_t expected;
    };
    const Case cases[] = {
        {"context count differs", with([](StatusCall& c) { c.context_count = 4; }), 0x80100011},
        {"handle count differs", with([](StatusCall& c) { c.handle_count = 4; }), 0x80100011},
        {"16-byte handle", with([](StatusCall& c) {
             c.handle = Bytes(16, 1);
             c.cb_handle = c.handle_count = 16;
         }),
         0x80100003},
        {"zero handle", with([](StatusCall& c) { c.handle = Bytes(8, 0); }), 0x80100003},
        {"zero context", with([](StatusCall& c) { c.context = Bytes(8, 0); }), 0x80100003},
        {"no context", with([](StatusCall& c) {
             c.context = {};
             c.cb_context = c.context_count = 0;
         }),
         0x80100003},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        Bytes reply = relay(c.call.message());
        ASSERT_EQ(reply.size(), 46u) << c.what;
        EXPECT_EQ(return_code(reply), c.expected) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
    // A context count that differs is answered before anything after it is read.
    FakePcsc fake;
    Ndr body;
    body.u32(8).u32(0x00020000).u32(8).u32(0x00020004).u32(0).u32(0).u32(32).u32(4);
    EXPECT_EQ(return_code(relay(call_message(kStatus, body.data()))), 0x80100011u);
}

TEST(Status, PcscErrorIsABareLongReturn) {
    for (LONG code : {SCARD_E_INVALID_HANDLE, SCARD_W_REMOVED_CARD, SCARD_E_INSUFFICIENT_BUFFER}) {
        FakePcsc fake;
        fake.results["status"] = code;
        Bytes reply = relay(StatusCall{}.message());
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), static_cast<uint32_t>(code));
        EXPECT_EQ(u32_at(reply, 42), 0u);
        EXPECT_EQ(fake.outstanding_allocations(), 0u);
    }
}

// With fmszReaderNamesIsNULL set the client gets the length alone: cBytes and the array count
// carry it, the array holds zeros.
TEST(Status, LengthOnlyQueryAnswersTheLength) {
    FakePcsc fake;
    fake.status_names = std::string("Reader A\0\0", 10);
    Bytes reply = relay(with([](StatusCall& c) { c.names_is_null = 1; }).message());
    ASSERT_EQ(reply.size(), 38u + 72u);
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 10u);
    EXPECT_EQ(u32_at(reply, 94), 10u);
    EXPECT_EQ(Bytes(reply.begin() + 98, reply.end()), Bytes(12, 0));
    // The names are fetched all the same, so the length is that of the list a client gets.
    EXPECT_EQ(fake.last("status")->args, (std::vector<uint64_t>{1, SCARD_AUTOALLOCATE, 32}));
    EXPECT_EQ(fake.outstanding_allocations(), 0u);
}

// A service that allocates the names and still fails (an ATR that does not fit), one that
// succeeds without storing any, and one that reports an absurd length.
class OddStatusPcsc : public FakePcsc {
public:
    LONG after = SCARD_S_SUCCESS;
    bool store_names = true;

    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state,
                DWORD* protocol, BYTE* atr, DWORD* atr_length) override {
        if (!store_names) {
            record({"status", static_cast<uint64_t>(card), {}, {}, {}});
            *names_length = 10;
            return SCARD_S_SUCCESS;
        }
        LONG result = FakePcsc::status(card, names, names_length, state, protocol, atr, atr_length);
        return result != SCARD_S_SUCCESS ? result : after;
    }
};

TEST(Status, NamesAreFreedOnEveryPath) {
    {
        OddStatusPcsc fake;
        fake.after = SCARD_E_INSUFFICIENT_BUFFER;
        Bytes reply = relay(StatusCall{}.message());
        EXPECT_EQ(return_code(reply), 0x80100008u);
        EXPECT_EQ(fake.outstanding_allocations(), 0u);
    }
    {
        OddStatusPcsc fake;
        fake.store_names = false;
        Bytes reply = relay(StatusCall{}.message());
        // No names stored: an empty multi-string, its two NULs.
        ASSERT_EQ(reply.size(), 102u);
        EXPECT_EQ(u32_at(reply, 42), 2u);
        EXPECT_EQ(Bytes(reply.begin() + 98, reply.end()), Bytes(4, 0));
    }
    for (uint32_t names_is_null : {0u, 1u}) {
        FakePcsc fake;
        fake.reported_length = 0x7FFFFFF0;
        Bytes reply =
            relay(with([&](StatusCall& c) { c.names_is_null = names_is_null; }).message());
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), 0x80100001u);
        EXPECT_EQ(fake.outstanding_allocations(), 0u);
    }
}

TEST(Status, TruncatedCallsNeverReachPcsc) {
    for (const Bytes& full : {StatusCall{}.message(),
                              with([](StatusCall& c) { c.names_is_null = 1; }).message()}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
    }
}

}  // namespace
}  // namespace kx_agent::test
