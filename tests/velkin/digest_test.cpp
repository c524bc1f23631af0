// SHA-1 and Base64 as the platform provides them (libcrypto, or BCrypt and CryptoAPI).
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "velkin/platform/digest.h"
#include "wire.h"

namespace {

namespace digest = vornic::velkin::digest;
using kx_agent::test::to_hex;

std::span<const uint8_t> span_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string sha1_hex(std::string_view text) {
    const auto value = digest::sha1(span_of(text));
    return value ? to_hex(kx_agent::test::Bytes(value->begin(), value->end())) : "failed";
}

TEST(Digest, Sha1OfTheFips180Examples) {
    EXPECT_EQ(sha1_hex(""), "DA 39 A3 EE 5E 6B 4B 0D 32 55 BF EF 95 60 18 90 AF D8 07 09");
    EXPECT_EQ(sha1_hex("abc"), "A9 99 3E 36 47 06 81 6A BA 3E 25 71 78 50 C2 6C 9C D0 D8 9D");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84 98 3E 44 1C 3B D2 6E BA AE 4A A1 F9 51 29 E5 E5 46 70 F1");
    // More than one 64-byte block, and bytes above 0x7F.
    const std::string long_input(1000, '\xE9');
    EXPECT_EQ(sha1_hex(long_input).size(), 59u);
    EXPECT_NE(sha1_hex(long_input), sha1_hex(long_input.substr(1)));
}

TEST(Digest, Base64OfTheRfc4648Examples) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(digest::base64(span_of(input)), expected);
    }
    // A long input stays on one line: no line breaks anywhere.
    const std::string long_input(300, 'x');
    const auto encoded = digest::base64(span_of(long_input));
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->size(), 400u);
    EXPECT_EQ(encoded->find_first_of("\r\n"), std::string::npos);
    const uint8_t all_bits[] = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(digest::base64(all_bits), "+/+/");
}

}  // namespace
