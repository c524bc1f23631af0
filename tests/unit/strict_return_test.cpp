// The strict _Return decoder of the tests themselves (strict_return.h), on hand-written replies:
// what a Windows server decodes, and what it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "strict_return.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

// 03 03 and a device I/O completion around `object` (DeviceId 1, CompletionId 2).
Bytes reply_around(const Bytes& object) {
    auto length = static_cast<uint32_t>(object.size());
    Ndr m;
    m.bytes({3, 3}).u32(0x49434472).u32(1).u32(2).u32(0).u32(16 + length);
    m.bytes(from_hex("01 10 08 00 CC CC CC CC")).u32(length).u32(0);
    return m.bytes(object).data();
}

// Each family's failure form: ReturnCode, every other field zero, padded to 8.
struct Zeroed {
    std::vector<uint32_t> codes;
    std::size_t length;
};
const Zeroed kZeroed[] = {
    {{ioctl::releaseContext,
      ioctl::isValidContext,
      ioctl::cancel,
      ioctl::accessStartedEvent,
      ioctl::disconnect,
      ioctl::beginTransaction,
      ioctl::endTransaction,
      ioctl::setAttrib,
      ioctl::writeCacheA,
      ioctl::writeCacheW,
      ioctl::introduceReaderGroupA,
      ioctl::introduceReaderGroupW,
      ioctl::forgetReaderGroupA,
      ioctl::forgetReaderGroupW,
      ioctl::introduceReaderA,
      ioctl::introduceReaderW,
      ioctl::forgetReaderA,
      ioctl::forgetReaderW,
      ioctl::addReaderToGroupA,
      ioctl::addReaderToGroupW,
      ioctl::removeReaderFromGroupA,
      ioctl::removeReaderFromGroupW,
      0x000900E4,
      0x12345678},
     8},
    {{ioctl::reconnect}, 8},          // Reconnect_Return
    {{ioctl::getTransmitCount}, 8},   // GetTransmitCount_Return
    {{ioctl::getDeviceTypeId}, 8},    // GetDeviceTypeId_Return
    {{ioctl::establishContext}, 16},  // EstablishContext_Return
    {{ioctl::listReaderGroupsA, ioctl::listReaderGroupsW, ioctl::listReadersA, ioctl::listReadersW},
     16},  // ListReaderGroups, ListReaders
    {{ioctl::getStatusChangeA, ioctl::getStatusChangeW, ioctl::locateCardsA, ioctl::locateCardsW,
      ioctl::locateCardsByAtrA, ioctl::locateCardsByAtrW},
     16},
    {{ioctl::transmit}, 16},                       // Transmit_Return
    {{ioctl::control}, 16},                        // Control_Return
    {{ioctl::getAttrib}, 16},                      // GetAttrib_Return
    {{ioctl::readCacheA, ioctl::readCacheW}, 16},  // ReadCache_Return
    {{ioctl::getReaderIcon}, 16},                  // GetReaderIcon_Return
    {{ioctl::state}, 24},                          // State_Return
    {{ioctl::connectA, ioctl::connectW}, 24},      // Connect_Return
    {{ioctl::statusA, ioctl::statusW}, 56},        // Status_Return
};

TEST(StrictReturn, EachFamilysZeroedFormDecodesAtItsLengthOnly) {
    const Bytes code = from_hex("0A 00 10 80");  // SCARD_E_TIMEOUT
    for (const Zeroed& row : kZeroed) {
        for (uint32_t ioctl : row.codes) {
            SCOPED_TRACE(testing::Message() << std::hex << ioctl << " " << return_layout(ioctl));
            auto object = [&](std::size_t length) {
                Bytes o = code;
                o.resize(length, 0);
                return reply_around(o);
            };
            auto decoded = decode_return(ioctl, object(row.length));
            ASSERT_TRUE(decoded) << decoded.error();
            EXPECT_EQ(decoded->return_code, 0x8010000Au);
            for (const auto& [path, value] : decoded->words) {
                if (path != "ReturnCode") {
                    EXPECT_EQ(value, 0u) << path;
                }
            }
            auto shorter = decode_return(ioctl, object(row.length - 8));
            ASSERT_FALSE(shorter);
            EXPECT_NE(shorter.error().find("ends inside the structure"), std::string::npos)
                << shorter.error();
            auto longer = decode_return(ioctl, object(row.length + 8));
            ASSERT_FALSE(longer);
            EXPECT_NE(longer.error().find("more than the padding to 8"), std::string::npos)
                << longer.error();
        }
    }
    // Every code [MS-RDPESC] defines has its row above.
    for (uint32_t ioctl = 0x00090000; ioctl <= 0x00090110; ioctl += 4) {
        if (ioctl_name(ioctl).empty()) continue;
        EXPECT_TRUE(std::ranges::any_of(kZeroed, [&](const Zeroed& row) {
            return std::ranges::find(row.codes, ioctl) != row.codes.end();
        })) << ioctl_name(ioctl);
    }
}

struct Case {
    const char* what;
    uint32_t ioctl;
    const char* object;        // the object buffer, hex
    const char* refused = "";  // part of the error; empty: the reply decodes
    void (*tweak)(Bytes& reply) = nullptr;
    const char* path = "";   // a field of the decoded reply to check
    const char* value = "";  // its bytes, hex (a word is its 4 little-endian bytes)
};

const Case kCases[] = {
    // Replies a Windows server decodes.
    {"ListReadersA with one reader", ioctl::listReadersA,
     "00000000 0A000000 00000200 0A000000 52656164657220410000 000000000000", "", nullptr, "msz",
     "52 65 61 64 65 72 20 41 00 00"},
    {"EstablishContext", ioctl::establishContext,
     "00000000 08000000 00000200 08000000 0102030405060708", "", nullptr, "Context.pbContext",
     "01 02 03 04 05 06 07 08"},
    {"Connect: no context, a handle: its referent is the first", ioctl::connectA,
     "00000000 00000000 00000000 08000000 00000200 02000000 08000000 1122334455667788 00000000", "",
     nullptr, "hCard.pbHandle", "11 22 33 44 55 66 77 88"},
    {"Connect: the context's bytes before the handle's", ioctl::connectW,
     "00000000 08000000 00000200 08000000 04000200 01000000"
     " 08000000 0102030405060708 08000000 1122334455667788",
     "", nullptr, "hCard.Context.pbContext", "01 02 03 04 05 06 07 08"},
    {"StatusA, padded to 8 after the names", ioctl::statusA,
     "00000000 03000000 00000200 06000000 02000000"
     " 3B000000000000000000000000000000 00000000000000000000000000000000 02000000"
     " 03000000 520000 00",
     "", nullptr, "mszReaderNames", "52 00 00"},
    {"Transmit: the receive PCI, then the response", ioctl::transmit,
     "00000000 00000200 02000000 04000200 02000000 00000000 00000000 02000000 9000 000000000000",
     "", nullptr, "pbRecvBuffer", "90 00"},
    {"Transmit: the PCI's extra bytes before the response, each 4-aligned", ioctl::transmit,
     "00000000 00000200 02000000 04000200 02000000 03000000 08000200"
     " 03000000 AABBCC 00 02000000 6A82 000000000000",
     "", nullptr, "pioRecvPci.pbExtraBytes", "AA BB CC"},
    {"GetStatusChangeW with one reader", ioctl::getStatusChangeW,
     "00000000 01000000 00000200 01000000 10000000 22000000 02000000 3B00"
     " 00000000000000000000000000000000 00000000000000000000000000000000 0000",
     "", nullptr, "rgReaderStates[0].dwEventState", "22 00 00 00"},

    // Replies it refuses.
    {"a ListReaders failure as a bare Long_Return", ioctl::listReadersA, "04001080 00000000",
     "ends inside the structure"},
    {"a referent id echoing the call's", ioctl::listReadersA,
     "00000000 02000000 04000200 02000000 4100 000000000000", "referent id out of order"},
    {"a handle's referent counting the null context pointer", ioctl::connectA,
     "00000000 00000000 00000000 08000000 04000200 02000000 08000000 1122334455667788 00000000",
     "referent id out of order"},
    {"StatusA padded to 4", ioctl::statusA,
     "00000000 06000000 00000200 06000000 02000000"
     " 3B000000000000000000000000000000 00000000000000000000000000000000 02000000"
     " 06000000 520061000000 0000",
     "not padded to 8"},
    {"a Transmit with a fixed 4-byte tail", ioctl::transmit,
     "00000000 00000000 02000000 00000200 02000000 9000 0000 00000000", "not padded to 8"},
    {"a Long_Return with 8 bytes too many", ioctl::accessStartedEvent,
     "00000000 00000000 00000000 00000000", "more than the padding to 8"},
    {"a maximum count that is not cBytes", ioctl::listReadersA,
     "00000000 0A000000 00000200 08000000 5265616465722041 0000000000000000",
     "maximum count disagrees"},
    {"more reader states than the IDL's range", ioctl::getStatusChangeA,
     "00000000 0C000000 00000000 00000000", "above its range"},
    {"LocateCardsByATR with 11 reader states", ioctl::locateCardsByAtrA,
     "00000000 0B000000 00000000 00000000", "above its range"},
    {"a non-zero byte in the padding to 8", ioctl::releaseContext, "00000000 00000001",
     "non-zero padding"},
    {"a non-zero byte in the padding to 4", ioctl::transmit,
     "00000000 00000200 02000000 04000200 02000000 03000000 08000200"
     " 03000000 AABBCC 01 02000000 6A82 000000000000",
     "non-zero padding"},
    {"a wrong OutputBufferLength", ioctl::releaseContext, "00000000 00000000", "OutputBufferLength",
     [](Bytes& r) { r[18] += 8; }},
    {"a byte after the object buffer", ioctl::releaseContext, "00000000 00000000", "message length",
     [](Bytes& r) { r.push_back(0); }},
    {"an IoStatus other than 0", ioctl::releaseContext, "00000000 00000000", "IoStatus",
     [](Bytes& r) { r[17] = 0xC0; }},
    {"a reply that ends in its head", ioctl::releaseContext, "00000000 00000000", "reply head",
     [](Bytes& r) { r.resize(30); }},
};

TEST(StrictReturn, HandWrittenReplies) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Bytes reply = reply_around(from_hex(c.object));
        if (c.tweak != nullptr) c.tweak(reply);
        auto decoded = decode_return(c.ioctl, reply);
        if (*c.refused != '\0') {
            ASSERT_FALSE(decoded);
            EXPECT_NE(decoded.error().find(c.refused), std::string::npos) << decoded.error();
            continue;
        }
        ASSERT_TRUE(decoded) << decoded.error();
        EXPECT_EQ(decoded->return_code, 0u);
        // A pointer's bytes, else the word (a pointer's word is its referent id).
        Bytes value;
        if (auto bytes = decoded->bytes.find(c.path); bytes != decoded->bytes.end())
            value = bytes->second;
        else if (auto word = decoded->words.find(c.path); word != decoded->words.end())
            value = Ndr().u32(word->second).data();
        EXPECT_EQ(to_hex(value), c.value) << c.path;
    }
}

}  // namespace
}  // namespace kx_agent::test
