// SCARD_IOCTL_LISTREADERSA against the recording fake.
#include <gtest/gtest.h>

#include <cstdio>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kListReaders = 0x00090028;
constexpr uint64_t kContext = 0xA001;

struct ListCall {
    uint32_t cbContext = 8;
    Bytes reference = from_hex("01 A0 00 00 00 00 00 00");
    uint32_t fmszReadersIsNULL = 0;
    uint32_t cchReaders = 0x400;
    std::string groups{};  // with its NULs; empty: mszGroups is null
};

Bytes list_call(const ListCall& c) {
    Ndr body;
    body.u32(c.cbContext).u32(0x00020000);
    body.u32(static_cast<uint32_t>(c.groups.size())).u32(c.groups.empty() ? 0 : 0x00020004);
    body.u32(c.fmszReadersIsNULL).u32(c.cchReaders);
    body.array(c.reference);
    if (!c.groups.empty()) body.array(Bytes(c.groups.begin(), c.groups.end()));
    return call_message(kListReaders, body.data());
}

// The reply head of a reply whose object buffer holds `obl` bytes (DeviceId 1, CompletionId 2).
std::string head(uint8_t obl) {
    char text[120];
    std::snprintf(text, sizeof text,
                  "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 %02X 00 00 00 "
                  "01 10 08 00 CC CC CC CC %02X 00 00 00 00 00 00 00 ",
                  obl + 16, obl);
    return text;
}

TEST(ListReaders, OneReaderOfEightCharacters) {
    FakePcsc fake;  // "Reader A\0\0": n = 10, pad 6, OBL 32
    Bytes reply = relay(list_call({}));
    EXPECT_EQ(to_hex(reply), head(32) +
                                 "00 00 00 00 0A 00 00 00 00 00 02 00 0A 00 00 00 "
                                 "52 65 61 64 65 72 20 41 00 00 00 00 00 00 00 00");
    EXPECT_EQ(reply.size(), 70u);
    // The length first, then the list in a buffer of that length; never with groups.
    ASSERT_EQ(fake.count("list_readers"), 2u);
    EXPECT_EQ(fake.calls[0].target, kContext);
    EXPECT_EQ(fake.calls[0].args, (std::vector<uint64_t>{0, 0, 0}));
    EXPECT_EQ(fake.calls[1].args, (std::vector<uint64_t>{0, 1, 10}));
}

TEST(ListReaders, LengthOnlyCarriesZeroBytes) {
    FakePcsc fake;
    for (uint32_t cchReaders : {0u, 0x400u, 0xFFFFFFFFu}) {
        fake.calls.clear();
        Bytes reply = relay(list_call({.fmszReadersIsNULL = 1, .cchReaders = cchReaders}));
        EXPECT_EQ(to_hex(reply), head(32) +
                                     "00 00 00 00 0A 00 00 00 00 00 02 00 0A 00 00 00 "
                                     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")
            << cchReaders;
        // SCARD_AUTOALLOCATE with a null buffer is refused by pcsc-lite: it is never passed.
        ASSERT_EQ(fake.count("list_readers"), 2u);
        EXPECT_EQ(fake.calls[0].args, (std::vector<uint64_t>{0, 0, 0}));
    }
}

TEST(ListReaders, ListOfAMultipleOfEightHasNoPadding) {
    FakePcsc fake;
    fake.readers = std::string("AB\0CDE\0\0", 8);
    EXPECT_EQ(to_hex(relay(list_call({}))),
              head(24) + "00 00 00 00 08 00 00 00 00 00 02 00 08 00 00 00 "
                         "41 42 00 43 44 45 00 00");
}

TEST(ListReaders, GroupsAreIgnored) {
    FakePcsc fake;
    Bytes plain = relay(list_call({}));
    Bytes grouped = relay(list_call({.groups = std::string("SCard$DefaultReaders\0\0", 22)}));
    Bytes odd = relay(list_call({.groups = "no terminator"}));
    EXPECT_EQ(grouped, plain);
    EXPECT_EQ(odd, plain);
    for (const PcscCall& call : fake.calls) EXPECT_EQ(call.args[0], 0u);  // groups always null
}

TEST(ListReaders, NoUsableContextIsInvalidHandle) {
    struct Case {
        const char* what;
        ListCall call;
    };
    for (const Case& c : {
             Case{"cbContext 0", {.cbContext = 0, .reference = {}}},
             Case{"count differs from cbContext", {.cbContext = 4}},
             Case{"16 reference bytes", {.cbContext = 16, .reference = Bytes(16, 0x55)}},
             Case{"bytes encoding 0", {.reference = Bytes(8, 0)}},
         }) {
        FakePcsc fake;
        Bytes reply = relay(list_call(c.call));
        EXPECT_EQ(reply.size(), 46u) << c.what;
        EXPECT_EQ(return_code(reply), 0x80100003u) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
}

TEST(ListReaders, PcscFailuresPassThrough) {
    FakePcsc fake;
    // A client buffer smaller than the list: SCARD_E_INSUFFICIENT_BUFFER.
    Bytes reply = relay(list_call({.cchReaders = 4}));
    EXPECT_EQ(reply.size(), 46u);
    EXPECT_EQ(return_code(reply), 0x80100008u);
    EXPECT_EQ(return_code(relay(list_call({.cchReaders = 9}))), 0x80100008u);
    EXPECT_EQ(return_code(relay(list_call({.cchReaders = 10}))), 0u);

    reply = relay(list_call({.cchReaders = 0}));
    EXPECT_EQ(return_code(reply), 0x80100008u);

    fake.results["list_readers"] = static_cast<LONG>(0x8010002E);  // SCARD_E_NO_READERS_AVAILABLE
    for (uint32_t isNull : {0u, 1u}) {
        reply = relay(list_call({.fmszReadersIsNULL = isNull}));
        EXPECT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), 0x8010002Eu);
    }
}

// SCARD_AUTOALLOCATE or a size too large to allocate: the length is asked first and PC/SC then
// fills a buffer of exactly that length.
TEST(ListReaders, AutoAllocateCarriesTheWholeList) {
    for (uint32_t cchReaders : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00010001u}) {
        FakePcsc fake;
        Bytes reply = relay(list_call({.cchReaders = cchReaders}));
        EXPECT_EQ(reply, relay(list_call({}))) << cchReaders;
        ASSERT_EQ(fake.count("list_readers"), 4u);
        EXPECT_EQ(fake.calls[0].args, (std::vector<uint64_t>{0, 0, 0}));
        EXPECT_EQ(fake.calls[1].args, (std::vector<uint64_t>{0, 1, 10}));
    }
}

// A reader plugged in between the length query and the list: the length is asked again.
TEST(ListReaders, AutoAllocateAsksAgainWhenTheListGrew) {
    struct GrowingList : FakePcsc {
        LONG list_readers(SCARDCONTEXT c, const char* g, char* buffer, DWORD* length) override {
            LONG result = FakePcsc::list_readers(c, g, buffer, length);
            if (buffer == nullptr && count("list_readers") == 1)
                readers.insert(0, std::string("Reader B\0", 9));
            return result;
        }
    };
    GrowingList fake;
    Bytes reply = relay(list_call({.cchReaders = 0xFFFFFFFF}));
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 19u);
    EXPECT_EQ(fake.count("list_readers"), 4u);
}

TEST(ListReaders, ServiceLengthsAreBounded) {
    FakePcsc fake;
    // A length beyond the buffer it was given cannot have been written: nothing is read past it.
    fake.reported_length = 0x100;
    Bytes reply = relay(list_call({.cchReaders = 0x20}));
    EXPECT_EQ(return_code(reply), 0x80100008u);
    // A length not worth allocating is SCARD_E_NO_MEMORY, in both forms of the call.
    fake.reported_length = 0x10000000;
    for (uint32_t isNull : {0u, 1u}) {
        reply = relay(list_call({.fmszReadersIsNULL = isNull, .cchReaders = 0xFFFFFFFF}));
        EXPECT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), 0x80100006u);
    }
}

TEST(ListReaders, CallsThatDoNotFitNeverReachPcsc) {
    ListCall grouped{.groups = std::string("SCard$DefaultReaders\0\0", 22)};
    Bytes full = list_call(grouped);
    EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{});
    // A groups count beyond the message.
    FakePcsc fake;
    Bytes lying = full;
    lying[full.size() - 26] = 0xFF;  // low byte of the groups array count
    lying[full.size() - 23] = 0x7F;
    EXPECT_EQ(return_code(relay(lying)), 0x80100004u);
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
}  // namespace kx_agent::test
