// What the WebSocket opening handshake copies from the request into its 101 answer: the first
// offered protocol and the cookie, and never a value that could break the answer's head.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "velkin/http/http.h"

namespace {

namespace http = vornic::velkin::http;

// Parses `head` on one end of a socketpair and returns what the server wrote back.
std::string answer_to(const std::string& head) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::vector<uint8_t> bytes(head.begin(), head.end());
    {
        auto request = http::from_header(bytes, vornic::velkin::net::TcpStream(fds[0]));
        EXPECT_TRUE(request.has_value());
    }  // the request closes its end
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[1], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    ::close(fds[1]);
    return out;
}

std::string upgrade_with(const std::string& lines) {
    return "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
           lines + "\r\n";
}

bool has_bare_cr_or_lf(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return true;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return true;
    }
    return false;
}

struct EchoCase {
    const char* name;
    std::string lines;     // header lines of the request, each ending in CR LF
    std::string expected;  // a line the answer must hold, or "" for none
    std::string absent;    // a header name the answer must not hold, or "" for none
};

TEST(HandshakeEcho, CopiesOnlyValuesThatKeepTheHeadIntact) {
    const EchoCase cases[] = {
        {"first protocol", "Sec-WebSocket-Protocol: chat, superchat\r\n",
         "Sec-WebSocket-Protocol: chat\r\n", ""},
        {"cookie", "Cookie: a=b; c=d\r\n", "Cookie: a=b; c=d\r\n", ""},
        {"tab in a value", "Cookie: a=b;\tc=d\r\n", "Cookie: a=b;\tc=d\r\n", ""},
        // Found by fuzz_http_head: a CR inside a value went out as a bare CR.
        {"CR inside the cookie", "Cookie: a=b\rSet-Cookie: x=y\r\n", "", "Cookie:"},
        {"CR inside the protocol", "Sec-WebSocket-Protocol: p\rX-Injected: 1\r\n", "",
         "Sec-WebSocket-Protocol:"},
        {"NUL inside the cookie", std::string("Cookie: a\0b\r\n", 13), "", "Cookie:"},
        {"DEL inside the cookie",
         "Cookie: a\x7f"
         "b\r\n",
         "", "Cookie:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = answer_to(upgrade_with(c.lines));
        ASSERT_TRUE(answer.starts_with("HTTP/1.1 101 Switching Protocols\r\n")) << answer;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n")) << answer;
        EXPECT_FALSE(has_bare_cr_or_lf(answer)) << answer;
        if (!c.expected.empty()) {
            EXPECT_NE(answer.find(c.expected), std::string::npos) << answer;
        }
        if (!c.absent.empty()) {
            EXPECT_EQ(answer.find(c.absent), std::string::npos) << answer;
        }
        EXPECT_EQ(answer.find("X-Injected"), std::string::npos) << answer;
        EXPECT_EQ(answer.find("Set-Cookie"), std::string::npos) << answer;
    }
}

}  // namespace
