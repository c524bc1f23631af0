// The agent's command line and its origin files: what starts the agent, with which trust, and
// what stops it (a malformed line must never leave every page trusted).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace kx_agent::test {
namespace {

using Action = CommandLine::Action;

TEST(CommandLine, AcceptedLinesGiveTheirActionOriginAndVerbosity) {
    struct Case {
        std::vector<std::string> args;
        Action action;
        std::optional<std::string> origin;
        bool verbose;
    };
    const Case cases[] = {
        {{}, Action::run, std::nullopt, false},
        {{"--origin", "https://rdp.example.com"}, Action::run, "https://rdp.example.com", false},
        {{"--origin=https://rdp.example.com:8443"},
         Action::run,
         "https://rdp.example.com:8443",
         false},
        {{"--verbose", "--origin", "http://127.0.0.1:8096"},
         Action::run,
         "http://127.0.0.1:8096",
         true},
        {{"--origin", "https://rdp.example.com/client/", "--verbose"},
         Action::run,
         "https://rdp.example.com/client/",
         true},
        {{"--help"}, Action::help, std::nullopt, false},
        {{"-h"}, Action::help, std::nullopt, false},
        {{"--version"}, Action::version, std::nullopt, false},
        // Reading ends at the first of --help and --version: what follows is not looked at.
        {{"--verbose", "--help", "--bogus"}, Action::help, std::nullopt, true},
        {{"--version", "stray"}, Action::version, std::nullopt, false},
    };
    for (const Case& c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        const auto line = parse_command_line(c.args);
        ASSERT_TRUE(line.has_value()) << shown << ": " << line.error();
        EXPECT_EQ(line->action, c.action) << shown;
        EXPECT_EQ(line->origin, c.origin) << shown;
        EXPECT_EQ(line->verbose, c.verbose) << shown;
    }
}

TEST(CommandLine, MalformedLinesAreRefusedWithTheirReason) {
    struct Case {
        std::vector<std::string> args;
        const char* reason_part;
    };
    const Case cases[] = {
        {{"--orgin", "https://rdp.example.com"}, "unknown option \"--orgin\""},
        {{"--origin"}, "--origin needs a value"},
        {{"--origin", "--verbose"}, "--origin needs a value"},
        {{"--origin="}, "the origin is empty"},
        {{"--origin", "notaurl"}, "\"notaurl\" is not an origin of the form scheme://host[:port]"},
        {{"--origin", "https://a.example", "--origin", "https://b.example"}, "given twice"},
        {{"https://rdp.example.com"}, "unexpected argument \"https://rdp.example.com\""},
        {{"--verbose", "yes"}, "unexpected argument \"yes\""},
        {{"--verbose=1"}, "unknown option \"--verbose=1\""},
        {{"-"}, "unknown option \"-\""},
        {{"--origin", "ftp://files.example"}, "only http and https"},
    };
    for (const Case& c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        const auto line = parse_command_line(c.args);
        ASSERT_FALSE(line.has_value()) << shown;
        EXPECT_NE(line.error().find(c.reason_part), std::string::npos)
            << shown << ": " << line.error();
        EXPECT_EQ(line.error().find('\n'), std::string::npos) << shown;  // one line
    }
}

TEST(CommandLine, OriginsAreSchemeHostAndPortWithAnOptionalPath) {
    for (const char* good :
         {"https://rdp.example.com", "http://127.0.0.1:8096", "HTTPS://RDP.Example.com",
          "https://[::1]:8443", "https://xn--bcher-kva.example", "https://h/client/",
          "https://a.example/\"+alert(1)+\"\\"}) {
        EXPECT_EQ(origin_problem(good), std::nullopt) << good;
    }
    for (const char* bad : {"",
                            "rdp.example.com",
                            "https://",
                            "https://:443",
                            "https://a..example",
                            "https://a.example:",
                            "https://a.example:0",
                            "https://a.example:65536",
                            "https://a.example:8x",
                            "https://user@a.example",
                            "https://a.example/?x=1",
                            "https://a.example/#top",
                            "https://a example",
                            "https://a.example\n",
                            "https://b\xc3\xbc"
                            "cher.example",
                            "https://a_b.example",
                            "javascript://x",
                            "wss://a.example",
                            "https://[::1",
                            "https://[zz]"}) {
        EXPECT_NE(origin_problem(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(origin_problem("https://a.example/" + std::string(238, 'p')),
              std::nullopt);  // 256 bytes
    EXPECT_NE(origin_problem("https://a.example/" + std::string(239, 'p')), std::nullopt);
    EXPECT_NE(origin_problem("https://" + std::string(64, 'a') + ".example"),
              std::nullopt);  // a label of 64
}

TEST(CommandLine, LocalOriginsAreThoseOfThisComputerOnly) {
    for (const char* local : {"http://localhost:3000", "https://localhost", "http://127.0.0.1:8096",
                              "http://127.255.3.4", "http://[::1]:8443", "HTTP://LOCALHOST:3000",
                              "chrome-extension://localhost"}) {
        EXPECT_TRUE(is_local_origin(local)) << local;
    }
    for (const char* foreign :
         {"null", "", "https://evil.example", "http://localhost.evil.example",
          "http://evil.localhost.example:3000", "http://128.0.0.1", "http://127.0.0",
          "http://127.0.0.1.5", "http://127.0.0.256", "http://127.0.0.1:", "http://127.1",
          "http://[::2]", "http://[::1", "http://localhost/path", "http://u@localhost",
          "http://localhost:80x", "://localhost", "http://0127.0.0.1"}) {
        EXPECT_FALSE(is_local_origin(foreign)) << foreign;
    }
}

TEST(CommandLine, AnOriginFileHoldsOneOriginBesideBlankAndCommentLines) {
    struct Case {
        const char* text;
        std::optional<std::string> origin;  // when read
        const char* reason_part;            // when refused
    };
    const Case cases[] = {
        {"", std::nullopt, nullptr},
        {"# Write the origin to trust here.\n\n   \n", std::nullopt, nullptr},
        {"https://rdp.example.com\n", "https://rdp.example.com", nullptr},
        {"# the company's\r\n  https://rdp.example.com/client/  \r\n",
         "https://rdp.example.com/client/", nullptr},
        {"https://rdp.example.com", "https://rdp.example.com", nullptr},  // no line end
        {"https://a.example\nhttps://b.example\n", std::nullopt, "line 2 is a second origin"},
        {"# comment\nrdp.example.com\n", std::nullopt,
         "line 2: \"rdp.example.com\" is not an origin"},
        {"origin = https://a.example\n", std::nullopt, "line 1:"},
    };
    for (const Case& c : cases) {
        const auto origin = origin_in_file_text(c.text);
        if (c.reason_part) {
            ASSERT_FALSE(origin.has_value()) << c.text;
            EXPECT_NE(origin.error().find(c.reason_part), std::string::npos) << origin.error();
        } else {
            ASSERT_TRUE(origin.has_value()) << c.text << ": " << origin.error();
            EXPECT_EQ(*origin, c.origin) << c.text;
        }
    }
}

TEST(CommandLine, HelpNamesEveryOptionAndEveryOriginSourceInOrder) {
    const std::vector<std::string> files = {"/home/u/.config/tolvane-agent/origin",
                                            "/etc/tolvane-agent/origin"};
    const std::string text = usage_text(files);
    for (const char* option :
         {"--origin ORIGIN", "--verbose", "--help", "-h", "--version", "8095"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    const auto option = text.find("  - --origin");
    const auto user = text.find(files[0]);
    const auto machine = text.find(files[1]);
    const auto trailer = text.find("trailer");
    EXPECT_TRUE(option < user && user < machine && machine < trailer &&
                trailer != std::string::npos)
        << text;
    EXPECT_FALSE(agent_version().empty());
}

}  // namespace
}  // namespace kx_agent::test
