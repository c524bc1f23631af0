// The calls in both character forms against the recording fake: one known call in each form,
// byte for byte, and W calls cut short or lying about their counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kListReaderGroupsA = ioctl::listReaderGroupsA;
constexpr uint32_t kListReaderGroupsW = ioctl::listReaderGroupsW;
constexpr uint32_t kListReadersA = ioctl::listReadersA;
constexpr uint32_t kListReadersW = ioctl::listReadersW;
constexpr uint32_t kGetStatusChangeA = ioctl::getStatusChangeA;
constexpr uint32_t kGetStatusChangeW = ioctl::getStatusChangeW;
constexpr uint32_t kConnectA = ioctl::connectA;
constexpr uint32_t kConnectW = ioctl::connectW;
constexpr uint32_t kStatusA = ioctl::statusA;
constexpr uint32_t kStatusW = ioctl::statusW;
constexpr uint32_t kLocateByAtrA = ioctl::locateCardsByAtrA;
constexpr uint32_t kLocateByAtrW = ioctl::locateCardsByAtrW;
constexpr uint32_t kAutoAllocate = 0xFFFFFFFF;
constexpr uint32_t kInvalidParameter = 0x80100004;

// UTF-16LE of text whose characters are all below U+0100 (NULs included).
Bytes utf16(std::string_view text) {
    Bytes out;
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

Bytes in_form(bool wide, std::string_view text) {
    return wide ? utf16(text) : Bytes(text.begin(), text.end());
}

std::string head(uint32_t obl) {
    return to_hex(Ndr()
                      .bytes({3, 3, 0x72, 0x44, 0x43, 0x49})
                      .u32(1)
                      .u32(2)
                      .u32(0)
                      .u32(obl + 16)
                      .bytes(from_hex("01 10 08 00 CC CC CC CC"))
                      .u32(obl)
                      .u32(0)
                      .data());
}

// ListReaders_Call as a Windows session sends it: the group "SCard$AllReaders" and
// cchReaders = SCARD_AUTOALLOCATE.
Bytes list_readers(bool wide, uint32_t cchReaders = kAutoAllocate, uint32_t isNull = 0) {
    Bytes groups = in_form(wide, std::string("SCard$AllReaders\0\0", 18));
    Ndr n;
    n.u32(8).u32(0x00020000).u32(static_cast<uint32_t>(groups.size())).u32(0x00020004);
    n.u32(isNull).u32(cchReaders).context(0xA001).array(groups);
    return call_message(wide ? kListReadersW : kListReadersA, n.data());
}

TEST(WideCalls, ListReadersInBothForms) {
    FakePcsc fake;
    EXPECT_EQ(to_hex(relay(list_readers(true))),
              head(40) + " 00 00 00 00 14 00 00 00 00 00 02 00 14 00 00 00 " +
                  to_hex(utf16(std::string("Reader A\0\0", 10))) + " 00 00 00 00");
    EXPECT_EQ(to_hex(relay(list_readers(false))),
              head(32) + " 00 00 00 00 0A 00 00 00 00 00 02 00 0A 00 00 00 " +
                  "52 65 61 64 65 72 20 41 00 00 00 00 00 00 00 00");
    // The length alone: 20 bytes in W, and the names with them.
    Bytes reply = relay(list_readers(true, 0, 1));
    EXPECT_EQ(u32_at(reply, 42), 20u);
    EXPECT_EQ(reply, relay(list_readers(true)));
    // cchReaders counts characters of the form: 10 fit, 9 do not.
    EXPECT_EQ(return_code(relay(list_readers(true, 10))), 0u);
    EXPECT_EQ(return_code(relay(list_readers(true, 9))), 0x80100008u);
}

// A name beyond ASCII: UTF-8 from pcsc-lite, one UTF-16 unit in W.
TEST(WideCalls, ReaderNamesConvertBothWays) {
    FakePcsc fake;
    fake.readers = std::string("Lecteur \xC3\xA9\0\0", 12);
    Bytes reply = relay(list_readers(true));
    ASSERT_EQ(u32_at(reply, 42), 22u);  // 11 characters
    EXPECT_EQ(to_hex(Bytes(reply.begin() + 54, reply.begin() + 76)),
              to_hex(utf16(std::string("Lecteur \xE9\0\0", 11))));
    // A list pcsc-lite holds that does not convert is not sent cut short.
    fake.readers = std::string("Bad \xFF\0\0", 7);
    EXPECT_EQ(return_code(relay(list_readers(true))), kInvalidParameter);
    EXPECT_EQ(return_code(relay(list_readers(false))), 0u);
}

Bytes list_groups(bool wide, uint32_t isNull, uint32_t cchGroups) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(isNull).u32(cchGroups).context(0xA001);
    return call_message(wide ? kListReaderGroupsW : kListReaderGroupsA, n.data());
}

TEST(WideCalls, ListReaderGroupsInBothForms) {
    FakePcsc fake;  // "SCard$DefaultReaders\0\0"
    const std::string groups("SCard$DefaultReaders\0\0", 22);
    EXPECT_EQ(to_hex(relay(list_groups(false, 0, kAutoAllocate))),
              head(40) + " 00 00 00 00 16 00 00 00 00 00 02 00 16 00 00 00 " +
                  to_hex(Bytes(groups.begin(), groups.end())) + " 00 00");
    EXPECT_EQ(to_hex(relay(list_groups(true, 0, 22))),
              head(64) + " 00 00 00 00 2C 00 00 00 00 00 02 00 2C 00 00 00 " +
                  to_hex(utf16(groups)) + " 00 00 00 00");
    // One round trip each, with room for pcsc-lite's largest list.
    ASSERT_EQ(fake.count("list_reader_groups"), 2u);
    EXPECT_EQ(fake.calls[0].target, 0xA001u);
    EXPECT_EQ(fake.calls[0].args, (std::vector<uint64_t>{1, 2049}));

    // A length query, by either flag or a size of 0, carries the list itself.
    for (bool wide : {false, true}) {
        const Bytes whole = relay(list_groups(wide, 0, kAutoAllocate));
        EXPECT_EQ(relay(list_groups(wide, 1, 0)), whole) << wide;
        EXPECT_EQ(relay(list_groups(wide, 0, 0)), whole) << wide;
    }
    EXPECT_EQ(return_code(relay(list_groups(true, 0, 21))), 0x80100008u);
    // Without a context, as SCardListReaderGroups allows on Windows: the same list.
    EXPECT_EQ(relay(call_message(kListReaderGroupsA,
                                 Ndr().u32(0).u32(0).u32(0).u32(kAutoAllocate).data())),
              relay(list_groups(false, 0, kAutoAllocate)));
}

struct Entry {
    std::string name;  // with its NUL
    uint32_t state;
    Bytes wire{};  // the name's characters as sent, when not those of `name`
};

Bytes status_change(bool wide, const std::vector<Entry>& entries) {
    auto cReaders = static_cast<uint32_t>(entries.size());
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0).u32(cReaders).u32(0x00020004).context(0xA001).u32(cReaders);
    for (const Entry& e : entries) n.u32(0x00020008).u32(e.state).u32(0).u32(0).zeros(36);
    for (const Entry& e : entries) {
        auto units = static_cast<uint32_t>(e.name.size());
        n.u32(units).u32(0).u32(units).bytes(e.wire.empty() ? in_form(wide, e.name) : e.wire);
        n.pad(4);
    }
    return call_message(wide ? kGetStatusChangeW : kGetStatusChangeA, n.data());
}

// The two forms differ only in the names: PC/SC sees the same call and the client the same
// reply.
TEST(WideCalls, GetStatusChangeInBothForms) {
    const std::vector<Entry> entries = {{std::string("Reader A\0", 9), 0x00020010},
                                        {std::string("\\\\?PnP?\\Notification\0", 21), 0x00010000}};
    FakePcsc a;
    Bytes replyA = relay(status_change(false, entries));
    FakePcsc w;
    Bytes replyW = relay(status_change(true, entries));
    ASSERT_EQ(return_code(replyW), 0u);
    EXPECT_EQ(to_hex(replyW), to_hex(replyA));
    ASSERT_EQ(w.count("get_status_change"), 1u);
    EXPECT_EQ(w.last("get_status_change")->text, "Reader A|\\\\?PnP?\\Notification");
    EXPECT_EQ(w.last("get_status_change")->args, a.last("get_status_change")->args);
}

Bytes connect(bool wide, const Bytes& name, uint32_t units) {
    Ndr n;
    n.u32(0x00020000).u32(8).u32(0x00020004).u32(SCARD_SHARE_SHARED).u32(3);
    n.u32(units).u32(0).u32(units).bytes(name).pad(4).context(0xA001);
    return call_message(wide ? kConnectW : kConnectA, n.data());
}

TEST(WideCalls, ConnectInBothForms) {
    FakePcsc fake;
    Bytes replyW = relay(connect(true, utf16(std::string("Reader A\0", 9)), 9));
    EXPECT_EQ(fake.last("connect")->text, "Reader A");
    Bytes replyA = relay(connect(false, in_form(false, std::string("Reader A\0", 9)), 9));
    EXPECT_EQ(to_hex(replyW), head(40) +
                                  " 00 00 00 00 00 00 00 00 00 00 00 00 08 00 00 00 00 00 02 00 "
                                  "02 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(replyW, replyA);

    // A name beyond ASCII reaches pcsc-lite in UTF-8.
    relay(connect(true, Ndr().bytes(utf16("Lecteur ")).bytes({0xE9, 0x00, 0, 0}).data(), 10));
    EXPECT_EQ(fake.last("connect")->text, "Lecteur \xC3\xA9");
}

TEST(WideCalls, WideNamesThatDoNotConvertOrFitAreRefused) {
    struct Case {
        const char* what;
        Bytes message;
    };
    Bytes surrogate = Ndr().bytes(utf16("Read")).bytes({0x00, 0xD8, 0, 0}).data();  // unpaired
    const Case cases[] = {
        {"unpaired surrogate", connect(true, surrogate, 6)},
        // 20 units would be 40 bytes; the message holds the bytes of 20 characters of A.
        {"count in units beyond the message", connect(true, Bytes(20, 'R'), 20)},
        {"unpaired surrogate in a reader state",
         status_change(true, {{std::string(2, 'x'), 0, Bytes{0x00, 0xDC, 0, 0}}})},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        Bytes reply = relay(c.message);
        EXPECT_EQ(return_code(reply), kInvalidParameter) << c.what;
        EXPECT_EQ(Bytes(reply.begin() + 42, reply.end()), Bytes(reply.size() - 42, 0)) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
}

Bytes status(bool wide, uint32_t isNull = 0) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(8).u32(0x00020004).u32(isNull).u32(kAutoAllocate).u32(32);
    n.context(0xA001).context(0x00010002);
    return call_message(wide ? kStatusW : kStatusA, n.data());
}

TEST(WideCalls, StatusInBothForms) {
    FakePcsc fake;
    fake.status_names = std::string("Reader A\0", 9);  // pcsc-lite's single NUL
    std::string fixed = " 00 00 02 00 06 00 00 00 02 00 00 00 3B 80 80 01 01 " +
                        to_hex(Bytes(27, 0)) + " 05 00 00 00 ";
    // W: 20 bytes of names, 60 + 20 needs no padding.
    EXPECT_EQ(to_hex(relay(status(true))), head(80) + " 00 00 00 00 14 00 00 00" + fixed +
                                               "14 00 00 00 " +
                                               to_hex(utf16(std::string("Reader A\0\0", 10))));
    // A: the same multi-string in 10 bytes and 2 of padding.
    EXPECT_EQ(to_hex(relay(status(false))), head(72) + " 00 00 00 00 0A 00 00 00" + fixed +
                                                "0A 00 00 00 " +
                                                "52 65 61 64 65 72 20 41 00 00 00 00");
    Bytes reply = relay(status(true, 1));
    EXPECT_EQ(u32_at(reply, 42), 20u);
    EXPECT_EQ(reply, relay(status(true)));  // a length query carries the names too
    // W names of 22 bytes: the object buffer, 82 bytes, padded to 88.
    fake.status_names = std::string("Reader AB\0", 10);
    reply = relay(status(true));
    EXPECT_EQ(u32_at(reply, 30), 88u);
    EXPECT_EQ(reply.size(), 38u + 88u);
}

// LocateCardsByATR_Call with one mask and one reader.
Bytes locate_by_atr(bool wide) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(1).u32(0x00020004).u32(1).u32(0x00020008).context(0xA001);
    n.u32(1).u32(1).bytes({0x3B}).zeros(35).bytes({0xFF}).zeros(35);
    n.u32(1).u32(0x0002000C).u32(0).u32(0).u32(0).zeros(36);
    Bytes name = in_form(wide, std::string("Reader A\0", 9));
    n.u32(9).u32(0).u32(9).bytes(name).pad(4);
    return call_message(wide ? kLocateByAtrW : kLocateByAtrA, n.data());
}

// A failed call answers its own _Return with every field but ReturnCode zero: here cBytes or
// cReaders 0 and a null pointer, 16 bytes with the padding. PC/SC's refusals and the agent's.
TEST(WideCalls, FailedCallsAnswerTheirZeroedReturn) {
    const std::vector<Entry> entries = {{std::string("Reader A\0", 9), 0}};
    struct Case {
        const char* what;
        Bytes message;
        const char* function;  // scripted to fail with `result`; null: refused by the agent
        uint32_t result;
        uint32_t code;
    };
    const Case cases[] = {
        {"ListReaderGroupsA", list_groups(false, 0, kAutoAllocate), "list_reader_groups",
         0x8010001D, 0x8010001D},  // SCARD_E_NO_SERVICE
        {"ListReaderGroupsW", list_groups(true, 0, kAutoAllocate), "list_reader_groups", 0x8010001E,
         0x8010001E},  // SCARD_E_SERVICE_STOPPED
        {"ListReadersA", list_readers(false), "list_readers", 0x8010002E, 0x8010002E},
        {"ListReadersW, buffer too small", list_readers(true, 9), nullptr, 0, 0x80100008},
        {"GetStatusChangeA", status_change(false, entries), "get_status_change", 0x8010000A,
         0x8010000A},  // SCARD_E_TIMEOUT
        {"GetStatusChangeW", status_change(true, entries), "get_status_change", 0x80100002,
         0x80100002},  // SCARD_E_CANCELLED
        {"LocateCardsByATRA", locate_by_atr(false), "get_status_change", 0x80100009, 0x80100009},
        {"LocateCardsByATRW, cut short",
         [] {
             Bytes m = locate_by_atr(true);
             m.resize(m.size() - 4);
             return m;
         }(),
         nullptr, 0, kInvalidParameter},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        if (c.function != nullptr) fake.results[c.function] = static_cast<LONG>(c.result);
        EXPECT_EQ(to_hex(relay(c.message)),
                  head(16) + " " + to_hex(Ndr().u32(c.code).zeros(12).data()))
            << c.what;
    }
}

TEST(WideCalls, TruncatedCallsNeverReachPcsc) {
    for (const Bytes& full :
         {list_readers(true), list_groups(true, 0, 22), list_groups(false, 1, 0),
          status_change(true, {{std::string("Reader A\0", 9), 0},
                               {std::string("\\\\?PnP?\\Notification\0", 21), 0}}),
          connect(true, utf16(std::string("Abcde\0", 6)), 6), status(true)}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
    }
}

}  // namespace
}  // namespace kx_agent::test
