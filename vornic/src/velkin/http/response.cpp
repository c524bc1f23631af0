// Plain HTTP responses: the status table and the fixed response head.
#include <algorithm>
#include <array>
#include <utility>

#include "velkin/http/http.h"
#include "velkin/string.h"

namespace vornic::velkin::http {

namespace {

// Reason phrases as this server has always sent them (capitals kept).
constexpr std::array<std::pair<uint32_t, std::string_view>, 40> kStatusTexts = {{
    {100, "100 Continue\r\n"},
    {101, "101 Switching Protocols\r\n"},
    {200, "200 OK\r\n"},
    {201, "201 Created\r\n"},
    {202, "202 Accepted\r\n"},
    {203, "203 Non-Authoritative Information\r\n"},
    {204, "204 No Content\r\n"},
    {205, "205 Reset Content\r\n"},
    {206, "206 Partial Content\r\n"},
    {300, "300 Multiple Choices\r\n"},
    {301, "301 Moved Permanently\r\n"},
    {302, "302 Found\r\n"},
    {303, "303 See Other\r\n"},
    {304, "304 Not Modified\r\n"},
    {305, "305 Use Proxy\r\n"},
    {307, "307 Temporary Redirect\r\n"},
    {400, "400 Bad Request\r\n"},
    {401, "401 Unauthorized\r\n"},
    {402, "402 Payment Required\r\n"},
    {403, "403 Forbidden\r\n"},
    {404, "404 Not Found\r\n"},
    {405, "405 Method Not Allowed\r\n"},
    {406, "406 Not Acceptable\r\n"},
    {407, "407 Proxy Authentication Required\r\n"},
    {408, "408 Request Time-out\r\n"},
    {409, "409 Conflict\r\n"},
    {410, "410 Gone\r\n"},
    {411, "411 Length Required\r\n"},
    {412, "412 Precondition Failed\r\n"},
    {413, "413 Request Entity Too Large\r\n"},
    {414, "414 Request-URI Too Large\r\n"},
    {415, "415 Unsupported Media Type\r\n"},
    {416, "416 Requested range not satisfiable\r\n"},
    {417, "417 Expectation Failed\r\n"},
    {500, "500 Internal Server Error\r\n"},
    {501, "501 Not Implemented\r\n"},
    {502, "502 Bad Gateway\r\n"},
    {503, "503 Service Unavailable\r\n"},
    {504, "504 Gateway Time-out\r\n"},
    {505, "505 HTTP Version not supported\r\n"},
}};

constexpr std::string_view kUnknownStatus = "200 Unknown\r\n";

}  // namespace

std::string_view get_status_msg(uint32_t status) {
    const auto found = std::find_if(kStatusTexts.begin(), kStatusTexts.end(),
                                    [status](const auto& entry) { return entry.first == status; });
    return found == kStatusTexts.end() ? kUnknownStatus : found->second;
}

IoResult<void> HttpRequest::write_bytes(std::span<const uint8_t> body, uint32_t status,
                                        std::string_view type) {
    return write_bytes(body, status, type, ResponseHeaders{});
}

IoResult<void> HttpRequest::write_bytes(std::span<const uint8_t> body, uint32_t status,
                                        std::string_view type, const ResponseHeaders& headers) {
    const std::string_view parts[] = {
        "HTTP/1.1 ",           get_status_msg(status),
        "Content-Type: ",      type,
        "; charset=UTF-8\r\n", headers.allow_any_origin ? "Access-Control-Allow-Origin: *\r\n" : "",
        headers.extra_headers, "Content-Length: ",
    };
    const std::string length = std::to_string(body.size());
    constexpr std::string_view kTail = "\r\nConnection: close\r\n\r\n";

    // Sized to what it holds, so a long content type still gives a complete head.
    std::size_t size = length.size() + kTail.size();
    for (const auto part : parts) {
        size += part.size();
    }
    std::string head;
    head.reserve(size);
    for (const auto part : parts) {
        head.append(part);
    }
    head.append(length);
    head.append(kTail);

    // Head and body in two writes; TCP_NODELAY sends both at once.
    if (auto written = stream.write_all(string::bytes_of(head)); !written) {
        return written;
    }
    if (auto written = stream.write_all(body); !written) {
        return written;
    }
    return stream.flush();
}

IoResult<void> HttpRequest::write_text(std::string_view text, uint32_t status,
                                       std::string_view type) {
    return write_bytes(string::bytes_of(text), status, type);
}

IoResult<void> HttpRequest::write_text(std::string_view text, uint32_t status,
                                       std::string_view type, const ResponseHeaders& headers) {
    return write_bytes(string::bytes_of(text), status, type, headers);
}

}  // namespace vornic::velkin::http
