// Plain responses: the fixed head, the status table and the MIME map.
#include <gtest/gtest.h>

#include "helpers.h"
#include "velkin/mime.h"

namespace velkin_test {
namespace {

// Writes one response through a request over a socketpair; returns what the peer received.
template <class Write>
Bytes response_of(Write write, int type = SOCK_STREAM) {
    auto pair = socket_pair(type);
    {
        Bytes head = bytes("GET / HTTP/1.1\r\n\r\n");
        auto request = http::from_header(head, std::move(pair.server));
        EXPECT_TRUE(request);
        const auto written = write(*request);
        EXPECT_TRUE(written) << written.error().message;
    }  // the request closes the connection
    return read_until_close(pair.client);
}

std::string head_for(std::string_view status_line, std::string_view type, std::size_t length) {
    return "HTTP/1.1 " + std::string(status_line) + "\r\nContent-Type: " + std::string(type) +
           "; charset=UTF-8\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
           std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

TEST(WriteBytes, WritesTheBadRequestExample) {
    const auto wire = response_of(
        [](http::HttpRequest& r) { return r.write_text("Bad Request", 400, "text/plain"); });
    EXPECT_EQ(text(wire),
              "HTTP/1.1 400 Bad Request\r\n"
              "Content-Type: text/plain; charset=UTF-8\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Content-Length: 11\r\n"
              "Connection: close\r\n"
              "\r\n"
              "Bad Request");
}

TEST(WriteBytes, HeadCases) {
    struct Case {
        const char* name;
        std::string body;
        uint32_t status;
        std::string type;
        std::string status_line;
    };
    const Case cases[] = {
        {"empty body", "", 204, "text/plain", "204 No Content"},
        {"charset always appended", "{}", 200, "application/json", "200 OK"},
        {"code not in the table", "x", 418, "text/plain", "200 Unknown"},
        {"UTF-8 bytes counted", "h\xC3\xA9llo \xE2\x82\xAC", 200, "text/html", "200 OK"},
        // A head far past the 1 KiB a fixed buffer would hold still goes out whole.
        {"long content type", "body", 200, "application/x-" + std::string(3000, 't'), "200 OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto wire = response_of(
            [&](http::HttpRequest& r) { return r.write_bytes(bytes(c.body), c.status, c.type); });
        EXPECT_EQ(text(wire), head_for(c.status_line, c.type, c.body.size()) + c.body);
    }
}

TEST(WriteBytes, HeadAndBodyLeaveInTwoWrites) {
    // SOCK_SEQPACKET keeps each write a record of its own.
    auto pair = socket_pair(SOCK_SEQPACKET);
    Bytes head = bytes("GET / HTTP/1.1\r\n\r\n");
    auto request = http::from_header(head, std::move(pair.server));
    ASSERT_TRUE(request);
    ASSERT_TRUE(request->write_text("hello", 200, "text/plain"));
    uint8_t buffer[4096];
    const auto first = pair.client.read(buffer);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), *first),
              head_for("200 OK", "text/plain", 5));
    const auto second = pair.client.read(buffer);
    ASSERT_TRUE(second);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), *second), "hello");
}

TEST(WriteBytes, FailsWhenThePeerHasGone) {
    auto pair = socket_pair();
    Bytes head = bytes("GET / HTTP/1.1\r\n\r\n");
    auto request = http::from_header(head, std::move(pair.server));
    ASSERT_TRUE(request);
    pair.client = net::TcpStream(-1);  // closed; a write must fail with EPIPE, not SIGPIPE
    const auto written = request->write_text("x", 200, "text/plain");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, EPIPE);
}

TEST(StatusTable, GivesTheFixedTexts) {
    const std::pair<uint32_t, std::string> table[] = {
        {100, "100 Continue"},
        {101, "101 Switching Protocols"},
        {200, "200 OK"},
        {201, "201 Created"},
        {202, "202 Accepted"},
        {203, "203 Non-Authoritative Information"},
        {204, "204 No Content"},
        {205, "205 Reset Content"},
        {206, "206 Partial Content"},
        {300, "300 Multiple Choices"},
        {301, "301 Moved Permanently"},
        {302, "302 Found"},
        {303, "303 See Other"},
        {304, "304 Not Modified"},
        {305, "305 Use Proxy"},
        {307, "307 Temporary Redirect"},
        {400, "400 Bad Request"},
        {401, "401 Unauthorized"},
        {402, "402 Payment Required"},
        {403, "403 Forbidden"},
        {404, "404 Not Found"},
        {405, "405 Method Not Allowed"},
        {406, "406 Not Acceptable"},
        {407, "407 Proxy Authentication Required"},
        {408, "408 Request Time-out"},
        {409, "409 Conflict"},
        {410, "410 Gone"},
        {411, "411 Length Required"},
        {412, "412 Precondition Failed"},
        {413, "413 Request Entity Too Large"},
        {414, "414 Request-URI Too Large"},
        {415, "415 Unsupported Media Type"},
        {416, "416 Requested range not satisfiable"},
        {417, "417 Expectation Failed"},
        {500, "500 Internal Server Error"},
        {501, "501 Not Implemented"},
        {502, "502 Bad Gateway"},
        {503, "503 Service Unavailable"},
        {504, "504 Gateway Time-out"},
        {505, "505 HTTP Version not supported"},
        {0, "200 Unknown"},
        {306, "200 Unknown"},
        {418, "200 Unknown"},
        {4294967295u, "200 Unknown"},
    };
    for (const auto& [code, status] : table) {
        EXPECT_EQ(http::get_status_msg(code), status + "\r\n") << code;
    }
}

TEST(MimeType, LooksExtensionsUpWithoutCase) {
    vornic::velkin::mime::MimeType types{{"html", "text/html"}, {"JS", "text/javascript"}};
    EXPECT_EQ(types.from_file_ext("html"), "text/html");
    EXPECT_EQ(types.from_file_ext("HTML"), "text/html");
    EXPECT_EQ(types.from_file_ext("Js"), "text/javascript");
    EXPECT_EQ(types.from_file_ext("css"), std::nullopt);
    EXPECT_EQ(types.from_file_ext(""), std::nullopt);
    EXPECT_EQ(vornic::velkin::mime::MimeType().from_file_ext("html"), std::nullopt);
    EXPECT_EQ(vornic::velkin::mime::MimeType::common().from_file_ext("SVG"), "image/svg+xml");
}

}  // namespace
}  // namespace velkin_test
