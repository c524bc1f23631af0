// Command-line options and the text helpers.
#include <gtest/gtest.h>

#include "velkin/string.h"
#include "velkin/velkin.h"

namespace {

using vornic::velkin::GetArg;
namespace str = vornic::velkin::string;

TEST(GetArg, FindsTheValueAfterTheName) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> value;
        std::size_t left;  // arguments not consumed
    };
    const Case cases[] = {
        {{"--origin", "https://a.example"}, "https://a.example", 0},
        {{"-v", "--origin", "https://a.example", "--x"}, "https://a.example", 1},
        {{"--origin", "first", "--origin", "second"}, "first", 2},
        {{"--origin"}, std::nullopt, 0},
        {{"-v", "--origin"}, std::nullopt, 0},
        {{"--origin=https://a.example"}, std::nullopt, 0},
        {{"--ORIGIN", "x"}, std::nullopt, 0},
        {{}, std::nullopt, 0},
        {{"x", "--origin", "--origin"}, "--origin", 0},
    };
    for (const auto& c : cases) {
        std::span<const std::string> args(c.args);
        EXPECT_EQ(GetArg::get_arg_value(args, "--origin"), c.value);
        EXPECT_EQ(args.size(), c.left);
    }
}

TEST(GetArg, ContinuesWhereTheLastLookupStopped) {
    const std::vector<std::string> argv = {"/usr/bin/agent", "--origin", "a", "--origin", "b"};
    std::span<const std::string> args(argv);
    args = args.subspan(1);  // the program path
    EXPECT_EQ(GetArg::get_arg_value(args, "--origin"), "a");
    EXPECT_EQ(GetArg::get_arg_value(args, "--origin"), "b");
    EXPECT_EQ(GetArg::get_arg_value(args, "--origin"), std::nullopt);
}

TEST(FromAsciiBytes, EachByteIsTheCharacterOfTheSameCode) {
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {
        {{}, ""},
        {{'G', 'E', 'T', 0x00, 0x7F}, std::string("GET\0\x7F", 5)},
        {{0x80, 0xE9, 0xFF}, "\xC2\x80\xC3\xA9\xC3\xBF"},
        {{0xC3, 0xA9}, "\xC3\x83\xC2\xA9"},  // UTF-8 input is not decoded: two characters
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(str::FromAsciiBytes::from_ascii_bytes(in), out);
    }
}

TEST(Utf8Lossy, ReplacesEachMaximalIllFormedPart) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"\x80", "\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong: two bad bytes
        {"\xE2\x82", "\xEF\xBF\xBD"},              // cut short: one replacement
        {"\xE2\x82x", "\xEF\xBF\xBDx"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
        {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
    };
    for (const auto& [in, out] : cases) {
        const std::vector<uint8_t> bytes(in.begin(), in.end());
        EXPECT_EQ(str::from_utf8_lossy(bytes), out) << in;
    }
}

// A line of output built from client bytes holds no control character and no broken UTF-8, so
// it neither ends early nor reaches the terminal as a command.
TEST(EscapeLine, OneMessageIsOneHarmlessLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text, stays", "plain text, stays"},
        {"two\nlines\r\n", "two\\nlines\\r\\n"},
        {"tab\there", "tab\\there"},
        {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \xEF\xBF\xBD",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \xEF\xBF\xBD"},
        {"csi\xC2\x9B"
         "2J",
         "csi\\u009b2J"},                     // C1 control
        {"nbsp\xC2\xA0", "nbsp\xC2\xA0"},     // first character past the C1 block
        {"\xFF\xC0\xAF", "\\xff\\xc0\\xaf"},  // never UTF-8, overlong
        {"cut \xE2\x82", "cut \\xe2\\x82"},   // cut short
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // surrogate
        {"\xE2\x82\n", "\\xe2\\x82\\n"},      // a broken sequence does not swallow the LF
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(str::escape_line(in), out) << in;
    }
}

TEST(ToLower, LowerCasesAsciiAndLatinCapitals) {
    EXPECT_EQ(str::to_lower("HTTPS://Rdp.Example.COM:8095/"), "https://rdp.example.com:8095/");
    EXPECT_EQ(str::to_lower("\xC3\x89\xC3\x97\xC3\x9E\xC3\x9F"),
              "\xC3\xA9\xC3\x97\xC3\xBE\xC3\x9F");
}

}  // namespace
