// Text in the two character forms: the strict UTF-8 <-> UTF-16LE conversions and the NDR
// strings and multi-strings read and written through them.
#include "smartcard/wire/char_form.h"
#include "smartcard/wire/ndr.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "utilities.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

using smartcard::CharForm;
using utilities::utf16le_to_utf8;
using utilities::utf8_to_utf16le;

constexpr smartcard::ReturnCode kInvalidParameter{0x80100004};

// UTF-16LE bytes of 16-bit units.
Bytes units(std::initializer_list<uint16_t> list) {
    Bytes out;
    for (uint16_t u : list) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

TEST(Utf16, ConvertsEveryPlaneBothWays) {
    struct Case {
        std::string utf8;
        Bytes utf16;
    };
    const Case cases[] = {
        {"", {}},
        {"Reader A", units({'R', 'e', 'a', 'd', 'e', 'r', ' ', 'A'})},
        {std::string("A\0B\0\0", 5), units({'A', 0, 'B', 0, 0})},
        {"\xC3\xA9", units({0x00E9})},                  // é: two bytes
        {"\xE2\x82\xAC", units({0x20AC})},              // €: three bytes
        {"\xEF\xBF\xBF", units({0xFFFF})},              // last of the basic plane
        {"\xF0\x9F\x94\x91", units({0xD83D, 0xDD11})},  // U+1F511: a surrogate pair
        {"\xF4\x8F\xBF\xBF", units({0xDBFF, 0xDFFF})},  // U+10FFFF
        {"\xF0\x90\x80\x80", units({0xD800, 0xDC00})},  // U+10000
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_to_utf16le(c.utf8), std::optional<Bytes>(c.utf16)) << to_hex(c.utf16);
        EXPECT_EQ(utf16le_to_utf8(c.utf16), std::optional<std::string>(c.utf8)) << to_hex(c.utf16);
    }
}

TEST(Utf16, RefusesWhatDoesNotConvert) {
    for (const Bytes& bad : {units({0xD800}),                  // high surrogate alone at the end
                             units({0xD800, 'A'}),             // high surrogate, then no low one
                             units({0xDC00, 0xD800}),          // low before high
                             units({'A', 0xDFFF}),             // low surrogate alone
                             units({0xD83D, 0xD83D, 0xDD11}),  // two highs
                             Bytes{0x41, 0x00, 0x42}}) {       // odd byte count
        EXPECT_EQ(utf16le_to_utf8(bad), std::nullopt) << to_hex(bad);
    }
    for (std::string bad : {std::string("\xC3"),              // cut short
                            std::string("\x80"),              // continuation alone
                            std::string("\xC0\xAF"),          // overlong
                            std::string("\xE0\x80\xAF"),      // overlong, three bytes
                            std::string("\xED\xA0\x80"),      // encoded surrogate
                            std::string("\xF4\x90\x80\x80"),  // above U+10FFFF
                            std::string("\xFF"), std::string("ok\xE2\x82")}) {
        EXPECT_EQ(utf8_to_utf16le(bad), std::nullopt) << bad;
    }
}

// A conformant varying string: maximum count, offset, actual count, the characters, padding.
Bytes varying(uint32_t count, const Bytes& characters) {
    return Ndr().u32(count).u32(0).u32(count).bytes(characters).pad(4).data();
}

TEST(CharForm, ReadsAStringInEitherForm) {
    struct Case {
        CharForm form;
        Bytes wire;
        std::string text;
        std::size_t consumed;
    };
    const Case cases[] = {
        {CharForm::A, varying(6, Bytes{'R', 'e', 'a', 'd', 'r', 0}), "Readr", 20},
        {CharForm::A, varying(4, Bytes{'A', 'B', 'C', 'D'}), "ABCD", 16},  // no NUL
        {CharForm::A, varying(0, {}), "", 12},
        {CharForm::W, varying(3, units({'A', 0x00E9, 0})), "A\xC3\xA9", 20},
        {CharForm::W, varying(2, units({'A', 'B'})), "AB", 16},
        {CharForm::W, varying(4, units({0xD83D, 0xDD11, 0, 'x'})), "\xF0\x9F\x94\x91", 20},
        {CharForm::W, varying(3, units({'A', 0, 0xD800})), "A", 20},  // after the NUL: unread
    };
    for (const Case& c : cases) {
        Bytes message = c.wire;
        message.push_back(0x77);  // what follows the string
        data_view::DataView request(static_cast<const Bytes&>(message), 0);
        auto text = smartcard::NdrReader(request).string(c.form);
        ASSERT_TRUE(text.has_value()) << to_hex(c.wire);
        EXPECT_EQ(*text, c.text);
        EXPECT_EQ(static_cast<std::size_t>(request.position), c.consumed) << to_hex(c.wire);
        EXPECT_FALSE(request.failed());
    }
}

TEST(CharForm, RefusesStringsThatDoNotFitOrConvert) {
    struct Case {
        const char* what;
        CharForm form;
        Bytes wire;
    };
    const Case cases[] = {
        {"count beyond the message", CharForm::A, Ndr().u32(9).u32(0).u32(9).text("Reader").data()},
        // 4 units are 8 bytes: the 6 bytes there are not enough.
        {"units counted as bytes", CharForm::W,
         Ndr().u32(4).u32(0).u32(4).bytes(units({'a', 'b', 0})).data()},
        {"count that overflows", CharForm::W, Ndr().u32(0x80000001).u32(0).u32(0x80000001).data()},
        {"unpaired surrogate", CharForm::W, varying(2, units({0xDC00, 0}))},
        {"cut in the header", CharForm::W, Bytes{1, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        data_view::DataView request(static_cast<const Bytes&>(c.wire), 0);
        auto text = smartcard::NdrReader(request).string(c.form);
        ASSERT_FALSE(text.has_value()) << c.what;
        EXPECT_EQ(text.error(), kInvalidParameter) << c.what;
    }
}

TEST(CharForm, MultiStringsRoundTripInEitherForm) {
    const std::string utf8("Reader \xC3\xA9\0Reader B\0\0", 20);
    auto a = smartcard::encodeMultiString(utf8, CharForm::A);
    auto w = smartcard::encodeMultiString(utf8, CharForm::W);
    ASSERT_TRUE(a && w);
    EXPECT_EQ(*a, Bytes(utf8.begin(), utf8.end()));
    EXPECT_EQ(w->size(), 38u);  // 19 characters, two bytes each
    EXPECT_EQ(Bytes(w->end() - 4, w->end()), Bytes(4, 0));

    for (auto [form, bytes] : {std::pair{CharForm::A, *a}, std::pair{CharForm::W, *w}}) {
        Bytes message = Ndr().array(bytes).data();
        data_view::DataView request(static_cast<const Bytes&>(message), 0);
        EXPECT_EQ(smartcard::NdrReader(request).multiString(form), utf8);
        EXPECT_EQ(static_cast<std::size_t>(request.position), message.size());
    }
    EXPECT_EQ(smartcard::encodeMultiString("\xFF", CharForm::W).error(), kInvalidParameter);
    EXPECT_EQ(smartcard::encodeMultiString("\xFF", CharForm::A), Bytes{0xFF});
}

TEST(CharForm, RefusesMultiStringsThatDoNotFitOrConvert) {
    for (const Bytes& message : {Ndr().u32(8).text("abc").data(),         // count beyond
                                 Ndr().u32(0xFFFFFFFF).data(),            // huge count
                                 Ndr().u32(3).bytes({'a', 0, 0}).data(),  // odd W count
                                 Ndr().array(units({0xD800, 0})).data(),  // unpaired
                                 Bytes{2, 0}}) {                          // cut in the count
        data_view::DataView request(static_cast<const Bytes&>(message), 0);
        auto text = smartcard::NdrReader(request).multiString(CharForm::W);
        ASSERT_FALSE(text.has_value()) << to_hex(message);
        EXPECT_EQ(text.error(), kInvalidParameter);
    }
}

}  // namespace
}  // namespace kx_agent::test
