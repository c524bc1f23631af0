// SCARD_IOCTL_LISTREADERSA against the recording fake.
#include <gtest/gtest.h>

#include <cstdio>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kListReaders = ioctl::listReadersA;
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
    body.u32(c.cbContext).u32(c.reference.empty() ? 0 : 0x00020000);
    body.u32(static_cast<uint32_t>(c.groups.size())).u32(c.groups.empty() ? 0 : 0x00020004);
    body.u32(c.fmszReadersIsNULL).u32(c.cchReaders);
    if (!c.reference.empty()) body.array(c.reference);
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

// The zeroed ListReaders_Return: ReturnCode, cBytes 0, a null msz, padded to 16.
std::string zeroed(uint32_t code) { return head(16) + to_hex(Ndr().u32(code).zeros(12).data()); }

// One round trip: pcsc-lite's largest list fits the buffer PC/SC is offered at once.
const std::vector<uint64_t> kFirstAsk{0, 1, 2049};

TEST(ListReaders, OneReaderOfEightCharacters) {
    FakePcsc fake;  // "Reader A\0\0": n = 10, pad 6, OBL 32
    Bytes reply = relay(list_call({}));
    EXPECT_EQ(to_hex(reply), head(32) +
                                 "00 00 00 00 0A 00 00 00 00 00 02 00 0A 00 00 00 "
                                 "52 65 61 64 65 72 20 41 00 00 00 00 00 00 00 00");
    EXPECT_EQ(reply.size(), 70u);
    // Never with groups.
    ASSERT_EQ(fake.count("list_readers"), 1u);
    EXPECT_EQ(fake.calls[0].target, kContext);
    EXPECT_EQ(fake.calls[0].args, kFirstAsk);
}

// A length query (a null buffer, or a buffer of 0 characters) is answered with the list itself:
// cBytes and the array's count are the length, the array holds the names. Servers that skip to
// the array and read its count as the length (xrdp) see every reader; [MS-RDPESC] 2.2.2.4's null
// msz would be read as a list of length 0.
TEST(ListReaders, LengthQueries) {
    struct Case {
        uint32_t fmszReadersIsNULL;
        uint32_t cchReaders;
        bool wide;
    };
    const std::string narrow = head(32) +
                               "00 00 00 00 0A 00 00 00 00 00 02 00 0A 00 00 00 "
                               "52 65 61 64 65 72 20 41 00 00 00 00 00 00 00 00";
    const std::string wide = head(40) +
                             "00 00 00 00 14 00 00 00 00 00 02 00 14 00 00 00 "
                             "52 00 65 00 61 00 64 00 65 00 72 00 20 00 41 00 00 00 00 00 "
                             "00 00 00 00";
    for (const Case& c : {Case{1, 0, false}, Case{1, 0x400, false}, Case{1, 0xFFFFFFFF, false},
                          Case{0, 0, false}, Case{0, 0, true}, Case{1, 0, true}}) {
        FakePcsc fake;
        Bytes call =
            list_call({.fmszReadersIsNULL = c.fmszReadersIsNULL, .cchReaders = c.cchReaders});
        if (c.wide) call[2] = 0x2C;  // SCARD_IOCTL_LISTREADERSW
        Bytes reply = relay(call);
        EXPECT_EQ(to_hex(reply), c.wide ? wide : narrow)
            << c.fmszReadersIsNULL << " " << c.cchReaders << " " << c.wide;
        EXPECT_EQ(u32_at(reply, 42), u32_at(reply, 50));  // cBytes is the array's count
        // SCARD_AUTOALLOCATE with a null buffer is refused by pcsc-lite: it is never passed.
        ASSERT_EQ(fake.count("list_readers"), 1u);
        EXPECT_EQ(fake.calls[0].args, kFirstAsk);
    }
}

TEST(ListReaders, ListOfAMultipleOfEightHasNoPadding) {
    FakePcsc fake;
    fake.readers = std::string("AB\0CDE\0\0", 8);
    EXPECT_EQ(to_hex(relay(list_call({}))), head(24) +
                                                "00 00 00 00 08 00 00 00 00 00 02 00 08 00 00 00 "
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

// SCardListReaders takes a null context on Windows; pcsc-lite does not, so the agent lists with
// a context of its own and releases it. Reference bytes that name no context are refused.
TEST(ListReaders, ContextRules) {
    {
        FakePcsc fake;
        fake.context = 0xB002;
        Bytes reply = relay(list_call({.cbContext = 0, .reference = {}}));
        EXPECT_EQ(reply, relay(list_call({})));
        ASSERT_EQ(fake.calls.size(), 4u);
        EXPECT_EQ(fake.calls[0].function, "establish_context");
        EXPECT_EQ(fake.calls[1].function, "list_readers");
        EXPECT_EQ(fake.calls[1].target, 0xB002u);
        EXPECT_EQ(fake.calls[2].function, "release_context");
        EXPECT_EQ(fake.calls[2].target, 0xB002u);
        // Nor is the service reached when it cannot give a context.
        fake.calls.clear();
        fake.results["establish_context"] = static_cast<LONG>(0x8010001D);  // SCARD_E_NO_SERVICE
        EXPECT_EQ(to_hex(relay(list_call({.cbContext = 0, .reference = {}}))), zeroed(0x8010001D));
        EXPECT_EQ(fake.count("list_readers"), 0u);
    }
    struct Case {
        const char* what;
        ListCall call;
        uint32_t code;
    };
    for (const Case& c : {
             Case{"count differs from cbContext", {.cbContext = 4}, 0x80100011},
             Case{
                 "16 reference bytes", {.cbContext = 16, .reference = Bytes(16, 0x55)}, 0x80100003},
             Case{"bytes encoding 0", {.reference = Bytes(8, 0)}, 0x80100003},
             // [range] bounds of the call.
             Case{
                 "17 reference bytes", {.cbContext = 17, .reference = Bytes(17, 0x55)}, 0x80100004},
             Case{"groups of 65537 bytes", {.groups = std::string(65537, 'G')}, 0x80100004},
         }) {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(list_call(c.call))), zeroed(c.code)) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
}

// cchReaders counts characters: a client buffer smaller than the list is
// SCARD_E_INSUFFICIENT_BUFFER, and SCARD_AUTOALLOCATE or a buffer larger than any list takes it.
TEST(ListReaders, ClientBufferSizes) {
    FakePcsc fake;
    EXPECT_EQ(to_hex(relay(list_call({.cchReaders = 4}))), zeroed(0x80100008));
    EXPECT_EQ(return_code(relay(list_call({.cchReaders = 9}))), 0x80100008u);
    EXPECT_EQ(return_code(relay(list_call({.cchReaders = 10}))), 0u);
    for (uint32_t cchReaders : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00010001u}) {
        fake.calls.clear();
        EXPECT_EQ(relay(list_call({.cchReaders = cchReaders})), relay(list_call({}))) << cchReaders;
        EXPECT_EQ(fake.calls[0].args, kFirstAsk);
    }
}

// A list longer than pcsc-lite's largest (a service that serves more readers) is asked again in
// a buffer of the length PC/SC said it needs, or asked for when it said none; a list that grew
// in between is asked once more.
TEST(ListReaders, AListThatDidNotFitIsAskedAgain) {
    struct Service : FakePcsc {
        bool tellsLength = true;
        int grows = 0;
        LONG list_readers(SCARDCONTEXT c, const char* g, char* buffer, DWORD* length) override {
            DWORD offered = *length;
            LONG result = FakePcsc::list_readers(c, g, buffer, length);
            if (static_cast<uint32_t>(result) == 0x80100008) {  // SCARD_E_INSUFFICIENT_BUFFER
                if (!tellsLength) *length = offered;
                if (grows-- > 0) readers.insert(0, std::string("Reader B\0", 9));
            }
            return result;
        }
    };
    using Args = std::vector<std::vector<uint64_t>>;
    struct Case {
        const char* what;
        bool tellsLength;
        int grows;
        Args asked;
        uint32_t cBytes;
    };
    const std::string longList = std::string(2999, 'R') + '\0';
    for (const Case& c : {
             Case{"tells the length", true, 0, {kFirstAsk, {0, 1, 3001}}, 3001},
             Case{"tells none", false, 0, {kFirstAsk, {0, 0, 0}, {0, 1, 3001}}, 3001},
             Case{"grew in between", true, 1, {kFirstAsk, {0, 1, 3001}, {0, 1, 3010}}, 3010},
         }) {
        Service fake;
        fake.readers = longList + '\0';
        fake.tellsLength = c.tellsLength;
        fake.grows = c.grows;
        Bytes reply = relay(list_call({.cchReaders = 0xFFFFFFFF}));
        ASSERT_EQ(return_code(reply), 0u) << c.what;
        EXPECT_EQ(u32_at(reply, 42), c.cBytes) << c.what;
        Args asked;
        for (const PcscCall& call : fake.calls) asked.push_back(call.args);
        EXPECT_EQ(asked, c.asked) << c.what;
    }
}

TEST(ListReaders, ServiceLengthsAreBounded) {
    FakePcsc fake;
    // A length beyond the buffer it was given cannot have been written: nothing is read past it.
    fake.reported_length = 0x1000;
    EXPECT_EQ(to_hex(relay(list_call({.cchReaders = 0xFFFFFFFF}))), zeroed(0x80100008));
    // A length not worth allocating is SCARD_E_NO_MEMORY, in both forms of the call.
    fake.reported_length = 0x10000000;
    for (uint32_t isNull : {0u, 1u}) {
        Bytes reply = relay(list_call({.fmszReadersIsNULL = isNull, .cchReaders = 0xFFFFFFFF}));
        EXPECT_EQ(to_hex(reply), zeroed(0x80100006));
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
    EXPECT_EQ(to_hex(relay(lying)), zeroed(0x80100004));
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
}  // namespace kx_agent::test
