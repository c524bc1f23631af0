// SCARD_IOCTL_LOCATECARDSBYATRA/W, GETDEVICETYPEID and SETATTRIB against the recording fake.
#include <gtest/gtest.h>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kLocateA = ioctl::locateCardsByAtrA;
constexpr uint32_t kLocateW = ioctl::locateCardsByAtrW;
constexpr uint32_t kDeviceTypeId = ioctl::getDeviceTypeId;
constexpr uint32_t kSetAttrib = ioctl::setAttrib;
constexpr const char* kHead = "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 ";

void name_string(Ndr& n, const std::string& name, bool wide) {
    auto count = static_cast<uint32_t>(name.size() + 1);
    n.u32(count).u32(0).u32(count);
    for (char c : name + '\0') {
        n.bytes({static_cast<uint8_t>(c)});
        if (wide) n.bytes({0});
    }
    n.pad(4);
}

struct Mask {
    Bytes atr;
    Bytes mask;
};

struct LocateCall {
    bool wide = true;
    std::vector<Mask> masks{{from_hex("3B 80 80 01 01"), from_hex("FF FF FF FF FF")}};
    std::vector<std::string> readers{"Reader A", "Reader B"};
    std::vector<uint32_t> known{0, 0x00030010};
    std::optional<uint32_t> mask_count;
    std::optional<uint32_t> c_readers;

    Bytes message() const {
        auto n_masks = static_cast<uint32_t>(masks.size());
        auto n_readers = c_readers.value_or(static_cast<uint32_t>(readers.size()));
        Ndr n;
        n.u32(8).u32(0x00020000).u32(n_masks).u32(0x00020004).u32(n_readers).u32(0x00020008);
        n.context(0xA001);
        n.u32(mask_count.value_or(n_masks));
        for (const Mask& m : masks) {
            n.u32(static_cast<uint32_t>(m.atr.size())).bytes(m.atr).zeros(36 - m.atr.size());
            n.bytes(m.mask).zeros(36 - m.mask.size());
        }
        n.u32(static_cast<uint32_t>(readers.size()));
        for (std::size_t i = 0; i < readers.size(); ++i)
            n.u32(0x0002000C + 4 * static_cast<uint32_t>(i)).u32(known[i]).u32(0).u32(0).zeros(36);
        for (const std::string& reader : readers) name_string(n, reader, wide);
        return call_message(wide ? kLocateW : kLocateA, n.data());
    }
};

LocateCall with(auto change) {
    LocateCall call;
    change(call);
    return call;
}

// dwEventState of each entry of a LocateCards_Return.
std::vector<uint32_t> event_states(const Bytes& reply) {
    std::vector<uint32_t> states;
    for (std::size_t i = 0; i < u32_at(reply, 42); ++i)
        states.push_back(u32_at(reply, 58 + 48 * i));
    return states;
}

TEST(LocateCardsByATR, MarksTheReadersWhoseCardMatches) {
    for (bool wide : {true, false}) {
        FakePcsc fake;
        fake.event_state = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT;
        Bytes reply = relay(with([&](LocateCall& c) { c.wide = wide; }).message());
        const std::string entry = "62 00 00 00 05 00 00 00 3B 80 80 01 01 " + to_hex(Bytes(31, 0));
        EXPECT_EQ(to_hex(reply), std::string(kHead) +
                                     "80 00 00 00 01 10 08 00 CC CC CC CC 70 00 00 00 00 00 00 00 "
                                     "00 00 00 00 02 00 00 00 00 00 02 00 02 00 00 00 "
                                     "00 00 00 00 " +
                                     entry + " 10 00 03 00 " + entry)
            << wide;
        ASSERT_EQ(fake.count("get_status_change"), 1u);
        const PcscCall& call = *fake.last("get_status_change");
        EXPECT_EQ(call.target, 0xA001u);
        EXPECT_EQ(call.text, "Reader A|Reader B");
        // Asked at once, every reader as if its state were unknown.
        EXPECT_EQ(call.args, (std::vector<uint64_t>{0, 2, 0, 0, 0, 0, 0, 0}));
    }
}

TEST(LocateCardsByATR, MaskRules) {
    struct Case {
        const char* what;
        std::vector<Mask> masks;
        DWORD event_state;
        bool matched;
    };
    const Case cases[] = {
        {"masked byte differs",
         {{from_hex("3B 00 80 01 01"), from_hex("FF 00 FF FF FF")}},
         0x22,
         true},
        {"unmasked byte differs",
         {{from_hex("3B 81 80 01 01"), from_hex("FF FF FF FF FF")}},
         0x22,
         false},
        {"shorter mask", {{from_hex("3B 80 80 01"), from_hex("FF FF FF FF")}}, 0x22, false},
        {"second mask matches",
         {{from_hex("3F"), from_hex("FF")},
          {from_hex("3B 80 80 01 01"), from_hex("FF FF FF FF FF")}},
         0x22,
         true},
        {"no masks", {}, 0x22, false},
        {"reader empty", {{from_hex("3B 80 80 01 01"), from_hex("FF FF FF FF FF")}}, 0x12, false},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        fake.event_state = c.event_state;
        Bytes reply = relay(with([&](LocateCall& l) { l.masks = c.masks; }).message());
        ASSERT_EQ(return_code(reply), 0u) << c.what;
        uint32_t expected = c.event_state | (c.matched ? 0x40 : 0);
        EXPECT_EQ(event_states(reply), (std::vector<uint32_t>{expected, expected})) << c.what;
    }
}

TEST(LocateCardsByATR, RefusedCalls) {
    struct Case {
        const char* what;
        Bytes call;
        uint32_t expected;
    };
    const Case cases[] = {
        {"mask count lies", with([](LocateCall& c) { c.mask_count = 2; }).message(), 0x80100011},
        {"reader count lies", with([](LocateCall& c) { c.c_readers = 1; }).message(), 0x80100011},
        // [range] bounds of the call: refused as a Windows server's NDR decoding refuses them.
        {"11 readers", with([](LocateCall& c) { c.c_readers = 11; }).message(), 0x80100004},
        {"1001 masks", with([](LocateCall& c) { c.masks.resize(1001, c.masks[0]); }).message(),
         0x80100004},
        {"a mask's cbAtr of 37",
         [] {
             Bytes m = LocateCall{}.message();
             m[70] = 37;  // the first mask's cbAtr
             return m;
         }(),
         0x80100004},
        {"masks without their array",
         [] {
             Bytes m = LocateCall{}.message();
             std::fill_n(m.begin() + 42, 4, 0);  // rgAtrMasks
             return m;
         }(),
         0x80100004},
    };
    // LocateCards_Return zeroed: ReturnCode, cReaders 0, a null rgReaderStates.
    auto zeroed = [](uint32_t code) {
        return std::string(kHead) + "20 00 00 00 01 10 08 00 CC CC CC CC 10 00 00 00 00 00 00 00 " +
               to_hex(Ndr().u32(code).zeros(12).data());
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(c.call)), zeroed(c.expected)) << c.what;
        EXPECT_TRUE(fake.calls.empty()) << c.what;
    }
    FakePcsc fake;
    fake.results["get_status_change"] = SCARD_E_UNKNOWN_READER;
    EXPECT_EQ(to_hex(relay(LocateCall{}.message())), zeroed(0x80100009));
    for (bool wide : {true, false}) {
        EXPECT_EQ(prefixes_not_refused(with([&](LocateCall& c) { c.wide = wide; }).message()),
                  std::vector<std::size_t>{});
    }
}

Bytes device_type_call(const std::string& reader, uint32_t context_count = 8) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0x00020004).u32(context_count).u64(0xA001);
    name_string(n, reader, true);
    return call_message(kDeviceTypeId, n.data());
}

TEST(GetDeviceTypeId, AKnownReaderIsAUsbReader) {
    {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(device_type_call("Reader A"))),
                  std::string(kHead) +
                      "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 "
                      "00 00 00 00 20 00 00 00");
        ASSERT_EQ(fake.count("get_status_change"), 1u);
        EXPECT_EQ(fake.last("get_status_change")->text, "Reader A");
        EXPECT_EQ(fake.last("get_status_change")->args[0], 0u);  // time-out 0
    }
    {
        FakePcsc fake;
        fake.results["get_status_change"] = SCARD_E_UNKNOWN_READER;
        Bytes reply = relay(device_type_call("Reader Z"));
        EXPECT_EQ(return_code(reply), 0x80100009u);
        EXPECT_EQ(u32_at(reply, 42), 0u);
    }
    {
        FakePcsc fake;
        EXPECT_EQ(return_code(relay(device_type_call("Reader A", 4))), 0x80100011u);
        EXPECT_TRUE(fake.calls.empty());
    }
    EXPECT_EQ(prefixes_not_refused(device_type_call("Reader A")), std::vector<std::size_t>{});
}

Bytes set_attrib_call(uint32_t attr, const Bytes& value) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
    n.u32(attr).u32(static_cast<uint32_t>(value.size())).u32(value.empty() ? 0 : 0x00020008);
    n.context(0xA001).context(0x00010002);
    if (!value.empty()) n.u32(static_cast<uint32_t>(value.size())).bytes(value).pad(4);
    return call_message(kSetAttrib, n.data());
}

TEST(SetAttrib, RelaysTheAttribute) {
    {
        FakePcsc fake;
        EXPECT_EQ(to_hex(relay(set_attrib_call(0x00090204, from_hex("01 02 03")))),
                  std::string(kHead) +
                      "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 "
                      "00 00 00 00 00 00 00 00");
        ASSERT_EQ(fake.count("set_attrib"), 1u);
        const PcscCall& call = *fake.last("set_attrib");
        EXPECT_EQ(call.target, 0x00010002u);
        EXPECT_EQ(call.data, from_hex("01 02 03"));
    }
    {
        FakePcsc fake;  // no attribute bytes at all
        EXPECT_EQ(return_code(relay(set_attrib_call(0x00090204, {}))), 0u);
        EXPECT_EQ(fake.last("set_attrib")->args, (std::vector<uint64_t>{0x00090204, 0, 0}));
    }
    // Its failures are in card_queries_test's table.
    EXPECT_EQ(prefixes_not_refused(set_attrib_call(0x00090204, from_hex("01 02 03"))),
              std::vector<std::size_t>{});
}

}  // namespace
}  // namespace kx_agent::test
