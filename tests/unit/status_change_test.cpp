// SCARD_IOCTL_GETSTATUSCHANGEA against the recording fake.
#include <gtest/gtest.h>

#include <optional>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kGetStatusChange = ioctl::getStatusChangeA;
constexpr uint64_t kContext = 0xA001;
const std::string kNotification("\\\\?PnP?\\Notification\0", 21);

struct Entry {
    std::string name{};  // the L bytes sent, NUL included when there is one
    uint32_t dwCurrentState = 0;
    uint32_t dwEventState = 0;
    uint32_t cbAtr = 0;
    Bytes rgbAtr = Bytes(36, 0);
};

struct StatusCall {
    std::vector<Entry> entries{};
    uint32_t dwTimeOut = 1000;
    uint32_t referent = 0x00020000;
    Bytes reference = from_hex("01 A0 00 00 00 00 00 00");
    std::optional<uint32_t> cbContext{};   // the reference's length when absent
    std::optional<uint32_t> arrayCount{};  // cReaders when absent
    std::optional<uint32_t> cReaders{};    // the number of entries when absent
};

Bytes status_call(const StatusCall& c) {
    auto cReaders = c.cReaders.value_or(static_cast<uint32_t>(c.entries.size()));
    Ndr body;
    body.u32(c.cbContext.value_or(static_cast<uint32_t>(c.reference.size())));
    body.u32(c.referent).u32(c.dwTimeOut).u32(cReaders).u32(0x00020004);
    body.array(c.reference);
    body.u32(c.arrayCount.value_or(cReaders));
    for (const Entry& e : c.entries)
        body.u32(0x00020008).u32(e.dwCurrentState).u32(e.dwEventState).u32(e.cbAtr).bytes(e.rgbAtr);
    for (const Entry& e : c.entries) {
        auto length = static_cast<uint32_t>(e.name.size());
        body.u32(length).u32(0).u32(length).text(e.name).pad(4);
    }
    return call_message(kGetStatusChange, body.data());
}

Entry reader(std::string name, uint32_t state = 0) {
    name.push_back('\0');
    return Entry{.name = name, .dwCurrentState = state};
}

// The 36-byte ATR field of a reply: the fake's ATR, zero after it.
Bytes atr_field(const Bytes& atr) {
    Bytes field = atr;
    field.resize(36);
    return field;
}

TEST(GetStatusChange, NoReadersIsA54ByteReply) {
    FakePcsc fake;
    Bytes reply = relay(status_call({}));
    EXPECT_EQ(to_hex(reply),
              "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 20 00 00 00 "
              "01 10 08 00 CC CC CC CC 10 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 02 00 00 00 00 00");
    ASSERT_EQ(fake.count("get_status_change"), 1u);
    EXPECT_EQ(fake.last("get_status_change")->target, kContext);
    EXPECT_EQ(fake.last("get_status_change")->args, (std::vector<uint64_t>{1000, 0}));
}

// The notification entry follows Windows: the upper 16 bits of its known state are the number
// of readers the client knows. The fake lists one reader.
TEST(GetStatusChange, NotificationEntryWaitsWhileTheClientKnowsTheCount) {
    FakePcsc fake;
    fake.event_state = 0x00040022;
    Bytes reply =
        relay(status_call({.entries = {reader("Reader A", 0x10),
                                       {.name = kNotification, .dwCurrentState = 0x00010000}},
                           .dwTimeOut = 0xFFFFFFFF}));
    const PcscCall& call = *fake.last("get_status_change");
    // The count before and after the wait, one round trip each.
    EXPECT_EQ(fake.count("list_readers"), 2u);
    EXPECT_EQ(call.text, "Reader A|\\\\?PnP?\\Notification");
    EXPECT_EQ(call.args, (std::vector<uint64_t>{0xFFFFFFFF, 2, 0x10, 0, 0, 0x00010000, 0, 0}));

    Bytes expected = from_hex(
        "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 80 00 00 00 "
        "01 10 08 00 CC CC CC CC 70 00 00 00 00 00 00 00");
    Ndr body;
    body.u32(0).u32(2).u32(0x00020000).u32(2);
    body.u32(0x10).u32(0x00040022).u32(5).bytes(atr_field(fake.atr));
    // Still one reader: no change, and no ATR, whatever the service said of the entry.
    body.u32(0x00010000).u32(0x00010000).u32(0).zeros(36);
    expected.insert(expected.end(), body.data().begin(), body.data().end());
    EXPECT_EQ(to_hex(reply), to_hex(expected));
}

// A client that knows another count is answered at once, the count now in the event state.
TEST(GetStatusChange, NotificationEntryWithAnotherCountEndsAtOnce) {
    for (uint32_t known : {0x00000000u, 0x00020000u, 0x00030002u}) {
        FakePcsc fake;
        fake.results["get_status_change"] = SCARD_E_TIMEOUT;  // nothing else changed
        Bytes reply =
            relay(status_call({.entries = {{.name = kNotification, .dwCurrentState = known}},
                               .dwTimeOut = 0xFFFFFFFF}));
        ASSERT_EQ(return_code(reply), 0u) << known;
        EXPECT_EQ(fake.last("get_status_change")->args[0], 0u);  // asked without waiting
        EXPECT_EQ(u32_at(reply, 54), known);
        EXPECT_EQ(u32_at(reply, 58), 0x00010002u);  // one reader, SCARD_STATE_CHANGED
    }
    // No readers at all is a count of 0.
    FakePcsc fake;
    fake.results["list_readers"] = static_cast<LONG>(0x8010002E);
    Bytes reply =
        relay(status_call({.entries = {{.name = kNotification, .dwCurrentState = 0x00010000}}}));
    EXPECT_EQ(u32_at(reply, 58), 0x00000002u);
    // Only the exact name is the notification entry; any other passes whole.
    relay(status_call({.entries = {reader("\\\\?PnP?\\Notification2", 0x00010000)}}));
    EXPECT_EQ(fake.last("get_status_change")->args[2], 0x00010000u);
}

// A reader plugged in while the client waits ends the wait with the new count.
TEST(GetStatusChange, ReaderAddedDuringTheWaitIsReported) {
    struct Plugging : FakePcsc {
        LONG get_status_change(SCARDCONTEXT c, DWORD timeout, SCARD_READERSTATE* states,
                               DWORD n) override {
            readers = std::string("Reader A\0Reader B\0\0", 19);
            return FakePcsc::get_status_change(c, timeout, states, n);
        }
    };
    Plugging fake;
    Bytes reply =
        relay(status_call({.entries = {{.name = kNotification, .dwCurrentState = 0x00010000}}}));
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(fake.last("get_status_change")->args[0], 1000u);
    EXPECT_EQ(u32_at(reply, 54), 0x00010000u);
    EXPECT_EQ(u32_at(reply, 58), 0x00020002u);
}

// The known state goes to pcsc-lite whole: its upper 16 bits are the event count pcsc-lite
// gave, so a card removed and put back between two waits is seen.
TEST(GetStatusChange, KnownStateReachesPcscWhole) {
    FakePcsc fake;
    fake.event_state = 0x00060122;
    Bytes reply = relay(status_call({.entries = {reader("Reader A", 0x00050022)}}));
    EXPECT_EQ(fake.last("get_status_change")->args[2], 0x00050022u);
    EXPECT_EQ(u32_at(reply, 54), 0x00050022u);  // dwCurrentState as sent
    EXPECT_EQ(u32_at(reply, 58), 0x00060122u);  // dwEventState as PC/SC left it
}

// The zeroed GetStatusChange_Return: ReturnCode, cReaders 0, a null rgReaderStates.
std::string zeroed(uint32_t code) {
    return "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 20 00 00 00 "
           "01 10 08 00 CC CC CC CC 10 00 00 00 00 00 00 00 " +
           to_hex(Ndr().u32(code).zeros(12).data());
}

// The 36-byte ATR field is consumed whatever cbAtr says, so the entry after it reads right;
// pcsc-lite's record holds 33 of the bytes. A cbAtr beyond its [range(0, 36)] is refused.
TEST(GetStatusChange, AtrLengthsAreBounded) {
    Bytes atr(36);
    for (std::size_t i = 0; i < atr.size(); ++i) atr[i] = static_cast<uint8_t>(i + 1);
    struct Case {
        uint32_t cbAtr;
        std::size_t toPcsc;  // 0xFF: refused
    };
    for (const Case& c :
         {Case{37, 0xFF}, Case{40, 0xFF}, Case{36, 33}, Case{33, 33}, Case{5, 5}, Case{0, 0}}) {
        FakePcsc fake;
        Entry first = reader("Reader A", 0x10);
        first.cbAtr = c.cbAtr;
        first.rgbAtr = atr;
        Bytes reply = relay(status_call({.entries = {first, reader("Reader B", 0x20)}}));
        if (c.toPcsc == 0xFF) {
            EXPECT_EQ(to_hex(reply), zeroed(0x80100004)) << c.cbAtr;
            EXPECT_TRUE(fake.calls.empty()) << c.cbAtr;
            continue;
        }
        const PcscCall& call = *fake.last("get_status_change");
        EXPECT_EQ(call.text, "Reader A|Reader B") << c.cbAtr;
        EXPECT_EQ(call.args, (std::vector<uint64_t>{1000, 2, 0x10, 0, c.toPcsc, 0x20, 0, 0}))
            << c.cbAtr;
        EXPECT_EQ(call.data, Bytes(atr.begin(), atr.begin() + c.toPcsc)) << c.cbAtr;
    }
}

TEST(GetStatusChange, NamesArePaddedToFourBytes) {
    FakePcsc fake;
    // L = 6 is followed by 2 padding bytes, L = 8 by none, L = 4 without a NUL by none.
    relay(status_call(
        {.entries = {reader("ABCDE"), reader("ABCDEFG"), {.name = "WXYZ"}, reader("Last")}}));
    ASSERT_EQ(fake.count("get_status_change"), 1u);
    EXPECT_EQ(fake.last("get_status_change")->text, "ABCDE|ABCDEFG|WXYZ|Last");
}

// The writer numbers its own referents: the array is 0x00020000 whatever the client's were.
TEST(GetStatusChange, ReplyNumbersItsOwnReferent) {
    FakePcsc fake;
    for (uint32_t referent : {0x00020000u, 0x12345678u}) {
        Bytes reply = relay(status_call({.entries = {reader("Reader A")}, .referent = referent}));
        EXPECT_EQ(u32_at(reply, 46), 0x00020000u);
    }
}

TEST(GetStatusChange, ContextAndCountFailures) {
    struct Case {
        const char* what;
        Bytes message;
        uint32_t code;
    };
    Bytes nullStates = status_call({.entries = {reader("A")}});
    std::fill_n(nullStates.begin() + 46, 4, 0);  // rgReaderStates
    for (const Case& c : {
             Case{"context 0", status_call({.entries = {reader("A")}, .reference = Bytes(8, 0)}),
                  0x80100003},
             Case{"16 reference bytes", status_call({.reference = Bytes(16, 0x55)}), 0x80100003},
             Case{"no context", status_call({.reference = {}}), 0x80100003},
             Case{"count differs from cbContext", status_call({.reference = {}, .cbContext = 8}),
                  0x80100011},
             Case{"array count differs", status_call({.entries = {reader("A")}, .arrayCount = 2}),
                  0x80100011},
             Case{"readers without their array", nullStates, 0x80100004},
             // [range] bounds of the call, refused before PC/SC.
             Case{"17 reference bytes", status_call({.reference = Bytes(17, 0x55)}), 0x80100004},
             Case{"12 states", status_call({.entries = std::vector(12, reader("A"))}), 0x80100004},
         }) {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(c.message)), zeroed(c.code)) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
    {
        // 11 states (ten readers and the PnP entry) are carried out and all 11 answered, though
        // GetStatusChange_Return's own range stops at 10.
        FakePcsc fake;
        Bytes reply = relay(status_call({.entries = std::vector(11, reader("A"))}));
        EXPECT_EQ(return_code(reply), 0u);
        EXPECT_EQ(u32_at(reply, 42), 11u);
    }
    // A 4-byte reference is a 32-bit value.
    FakePcsc fake;
    relay(status_call({.reference = from_hex("02 01 00 00")}));
    EXPECT_EQ(fake.last("get_status_change")->target, 0x0102u);
}

TEST(GetStatusChange, CallsThatDoNotFitNeverReachPcsc) {
    Entry withAtr = reader("Reader A", 0x10);
    withAtr.cbAtr = 5;
    Bytes full = status_call({.entries = {withAtr, reader("ABCDE"), {.name = kNotification}}});
    EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{});

    struct Case {
        const char* what;
        Bytes message;
    };
    Bytes longName = status_call({.entries = {reader("Reader A")}});
    longName[longName.size() - 12 - 1] = 0x7F;  // high byte of the actual count L
    for (const Case& c : {
             Case{"cReaders beyond the message",
                  status_call({.entries = {reader("A")}, .cReaders = 0x10000000})},
             Case{"cReaders that overflows 32 bits",
                  status_call({.entries = {reader("A")}, .cReaders = 0xFFFFFFFF})},
             Case{"name length beyond the message", longName},
         }) {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(c.message)), zeroed(0x80100004)) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
}

}  // namespace
}  // namespace kx_agent::test
