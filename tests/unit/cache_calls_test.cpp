// SCARD_IOCTL_READCACHEA/W and WRITECACHEA/W against the recording fake: what a card minidriver
// sees when it stores and reads back its data.
#include <gtest/gtest.h>

#include "fake_pcsc.h"
#include "smartcard/state/card_cache.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kReadA = ioctl::readCacheA;
constexpr uint32_t kReadW = ioctl::readCacheW;
constexpr uint32_t kWriteA = ioctl::writeCacheA;
constexpr uint32_t kWriteW = ioctl::writeCacheW;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kNotFound = 0x80100070;
constexpr uint32_t kStale = 0x80100071;
constexpr const char* kHead = "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 ";
const Bytes kUuid = from_hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

// A conformant varying string of `name` and its NUL: 8-bit characters, or UTF-16LE units.
void name_string(Ndr& n, const std::u16string& name, bool wide) {
    auto count = static_cast<uint32_t>(name.size() + 1);
    n.u32(count).u32(0).u32(count);
    for (char16_t c : name + u'\0') {
        if (wide) n.bytes({static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
        else n.bytes({static_cast<uint8_t>(c)});
    }
    n.pad(4);
}

struct CacheCall {
    bool wide = true;
    std::u16string name = u"cardid";
    uint32_t freshness = 1;
    uint64_t context = 0xA001;
    uint32_t context_count = 8;
    uint32_t name_referent = 0x00020000;
    // Write only.
    Bytes data = from_hex("01 02 03");
    std::optional<uint32_t> cb_data;
    std::optional<uint32_t> data_count;
    // Read only.
    uint32_t data_is_null = 0;
    uint32_t cb_buffer = 0xFFFFFFFF;

    void key(Ndr& n) const {
        if (name_referent != 0) name_string(n, name, wide);
        n.u32(context_count).u64(context).bytes(kUuid);
    }
    Bytes write() const {
        Ndr n;
        n.u32(name_referent).u32(8).u32(0x00020004).u32(0x00020008).u32(freshness);
        n.u32(cb_data.value_or(static_cast<uint32_t>(data.size())));
        n.u32(data.empty() ? 0 : 0x0002000C);
        key(n);
        if (!data.empty())
            n.u32(data_count.value_or(static_cast<uint32_t>(data.size()))).bytes(data).pad(4);
        return call_message(wide ? kWriteW : kWriteA, n.data());
    }
    Bytes read() const {
        Ndr n;
        n.u32(name_referent).u32(8).u32(0x00020004).u32(0x00020008).u32(freshness);
        n.u32(data_is_null).u32(cb_buffer);
        key(n);
        return call_message(wide ? kReadW : kReadA, n.data());
    }
};

CacheCall with(auto change) {
    CacheCall call;
    change(call);
    return call;
}

class CacheCalls : public testing::Test {
protected:
    FakePcsc fake;
};

TEST_F(CacheCalls, WrittenInOneFormReadInBoth) {
    Bytes written = relay(CacheCall{}.write());
    EXPECT_EQ(to_hex(written), std::string(kHead) +
                                   "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 "
                                   "00 00 00 00 00 00 00 00");
    ASSERT_EQ(fake.count("is_valid_context"), 1u);
    EXPECT_EQ(fake.last("is_valid_context")->target, 0xA001u);
    // ReadCache_Return: ReturnCode, cbDataLen, pbData, the array padded to 8.
    const std::string expected = std::string(kHead) +
                                 "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 "
                                 "00 00 00 00 03 00 00 00 00 00 02 00 03 00 00 00 01 02 03 00 "
                                 "00 00 00 00";
    EXPECT_EQ(to_hex(relay(CacheCall{}.read())), expected);
    EXPECT_EQ(to_hex(relay(with([](CacheCall& c) { c.wide = false; }).read())), expected);
}

TEST_F(CacheCalls, AbsentStaleAndReplacedItems) {
    EXPECT_EQ(return_code(relay(CacheCall{}.read())), kNotFound);
    relay(CacheCall{}.write());
    EXPECT_EQ(return_code(relay(with([](CacheCall& c) { c.freshness = 2; }).read())), kStale);
    EXPECT_EQ(return_code(relay(with([](CacheCall& c) { c.name = u"cardcf"; }).read())), kNotFound);
    relay(with([](CacheCall& c) {
              c.freshness = 2;
              c.data = from_hex("AA BB CC DD EE");
          }).write());
    Bytes fresh = relay(with([](CacheCall& c) { c.freshness = 2; }).read());
    ASSERT_EQ(return_code(fresh), 0u);
    EXPECT_EQ(u32_at(fresh, 42), 5u);
    EXPECT_EQ(return_code(relay(CacheCall{}.read())), kStale);
    // Names are compared as text: a name beyond 8-bit characters, written and read in W.
    relay(with([](CacheCall& c) { c.name = u"m\u00FCnze-\u20AC"; }).write());
    EXPECT_EQ(return_code(relay(with([](CacheCall& c) { c.name = u"m\u00FCnze-\u20AC"; }).read())),
              0u);
}

TEST_F(CacheCalls, LengthAndBufferSize) {
    relay(CacheCall{}.write());
    EXPECT_EQ(to_hex(relay(with([](CacheCall& c) { c.data_is_null = 1; }).read())),
              std::string(kHead) +
                  "20 00 00 00 01 10 08 00 CC CC CC CC 10 00 00 00 00 00 00 00 "
                  "00 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(return_code(relay(with([](CacheCall& c) { c.cb_buffer = 3; }).read())), 0u);
}

TEST_F(CacheCalls, ItemsDieWithTheirContext) {
    relay(CacheCall{}.write());
    relay(call_message(kRelease, Ndr().u32(8).u32(0x00020000).context(0xA001).data()));
    EXPECT_EQ(return_code(relay(CacheCall{}.read())), kNotFound);
}

// A failed read is the zeroed ReadCache_Return (cbDataLen 0, a null pbData: 16 bytes), a failed
// write a Long_Return; a refused write stores nothing.
std::string zeroed_reply(uint32_t code, bool read) {
    uint32_t length = read ? 16 : 8;
    Ndr n;
    n.u32(16 + length).bytes(from_hex("01 10 08 00 CC CC CC CC")).u32(length).u32(0);
    return std::string(kHead) + to_hex(n.u32(code).zeros(length - 4).data());
}

TEST_F(CacheCalls, FailuresAnswerTheZeroedReturn) {
    struct Case {
        const char* what;
        Bytes call;
        uint32_t expected;
        bool reaches_pcsc = false;  // is_valid_context is asked (and answers `expected` if set)
        LONG valid = SCARD_S_SUCCESS;
    };
    const auto narrow = [](CacheCall& c) { c.wide = false; };
    const Case cases[] = {
        {"item over 64 KiB", with([](CacheCall& c) { c.cb_data = 65537; }).write(), 0x80100004},
        {"item over 64 KiB, A", with([&](CacheCall& c) {
                                    narrow(c);
                                    c.cb_data = 65537;
                                }).write(),
         0x80100004},
        {"data count lies", with([](CacheCall& c) { c.data_count = 2; }).write(), 0x80100011},
        {"context count lies", with([](CacheCall& c) { c.context_count = 4; }).write(), 0x80100011},
        {"null lookup name", with([](CacheCall& c) { c.name_referent = 0; }).write(), 0x80100004},
        {"zero context", with([](CacheCall& c) { c.context = 0; }).write(), 0x80100003},
        {"name that is not UTF-16", with([](CacheCall& c) { c.name = u"a\xD800z"; }).write(),
         0x80100004},
        {"write through an unknown context", CacheCall{}.write(), 0x80100003, true,
         SCARD_E_INVALID_HANDLE},
        {"read, not found", CacheCall{}.read(), kNotFound, true},
        {"read A, not found", with(narrow).read(), kNotFound, true},
        {"read, context count lies", with([](CacheCall& c) { c.context_count = 4; }).read(),
         0x80100011},
        {"read, null lookup name", with([](CacheCall& c) { c.name_referent = 0; }).read(),
         0x80100004},
        {"read, zero context", with([](CacheCall& c) { c.context = 0; }).read(), 0x80100003},
        {"read through an unknown context", CacheCall{}.read(), 0x80100003, true,
         SCARD_E_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePcsc fake;
        fake.results["is_valid_context"] = c.valid;
        bool read = c.call[2] == 0xF0 || c.call[2] == 0xF4;  // the code's low byte
        EXPECT_EQ(to_hex(relay(c.call)), zeroed_reply(c.expected, read));
        EXPECT_EQ(fake.calls.size(), c.reaches_pcsc ? 1u : 0u);
    }
    EXPECT_EQ(fake.cache.read(smartcard::CardIdentifier{}, 1, "cardid").error().value(), kNotFound);
    // A buffer too small for the item.
    relay(CacheCall{}.write());
    EXPECT_EQ(to_hex(relay(with([](CacheCall& c) { c.cb_buffer = 2; }).read())),
              zeroed_reply(0x80100008, true));
}

TEST_F(CacheCalls, TruncatedCallsNeverReachPcsc) {
    for (const Bytes& full : {CacheCall{}.write(), CacheCall{}.read(),
                              with([](CacheCall& c) { c.wide = false; }).write(),
                              with([](CacheCall& c) { c.wide = false; }).read()}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
    }
}

}  // namespace
}  // namespace kx_agent::test
