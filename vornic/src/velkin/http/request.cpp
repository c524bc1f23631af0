// Reading and parsing the request head, and the queries a handler asks of the request.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "velkin/http/http.h"
#include "velkin/string.h"

namespace vornic::velkin::http {

namespace {

using Bytes = std::span<const uint8_t>;

std::string text_of(Bytes bytes) { return string::FromAsciiBytes::from_ascii_bytes(bytes); }

// Byte offset of the character `count` characters into UTF-8 `text` (its size when shorter).
std::size_t char_offset(std::string_view text, std::size_t count) {
    std::size_t offset = 0;
    while (count > 0 && offset < text.size()) {
        ++offset;
        while (offset < text.size() && (static_cast<uint8_t>(text[offset]) & 0xC0) == 0x80) {
            ++offset;
        }
        --count;
    }
    return offset;
}

// One header line (without its line feed): the name before the first colon, lower-cased in
// place; the value from the second byte after the colon, less the line's last byte (its CR).
// Returns the reason when the line may not be taken at all.
std::optional<std::string_view> parse_header_line(std::span<uint8_t> line, HttpRequest& request) {
    const auto colon = std::find(line.begin(), line.end(), uint8_t{':'});
    if (colon == line.end()) {
        return std::nullopt;  // the blank line or junk
    }
    // RFC 7230 3.2.4: "No whitespace is allowed between the header field-name and colon ... A
    // server MUST reject any received request message that contains whitespace between a header
    // field-name and colon with a response code of 400": "Origin : x" must not pass for Origin.
    if (std::any_of(line.begin(), colon, [](uint8_t b) { return b == ' ' || b == '\t'; })) {
        return "white space in a header name";
    }
    const auto name_length = static_cast<std::size_t>(colon - line.begin());
    for (uint8_t& byte : line.first(name_length)) {
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<uint8_t>(byte + 32);
        }
    }
    std::string name = text_of(line.first(name_length));
    // The byte after the colon (normally the space) is skipped whatever it is; when the colon is
    // the last or next-to-last byte there is nothing left, and the value is empty.
    const std::size_t value_begin = name_length + 2;
    const std::size_t value_end = line.empty() ? 0 : line.size() - 1;
    std::string value =
        value_begin < value_end ? text_of(line.subspan(value_begin, value_end - value_begin)) : "";

    if (name == "if-modified-since") {
        if (auto when = parse_http_date(value)) {
            request.if_modified_since = when;
        }
    } else if (name == "upgrade") {
        request.upgrade = value;
    } else if (name == "origin") {
        // Which of several would count is up to each reader; the upgrade check must not guess.
        if (request.origin) return "more than one Origin header";
        request.origin = value;
    }
    request.header_names.push_back(std::move(name));
    request.header_values.push_back(std::move(value));
    return std::nullopt;
}

// Why a head cannot be read one way only, if it cannot: every line must end in CR LF (a bare
// line feed is a line end to some readers and not to others) and the head must end with its
// blank line.
std::optional<std::string_view> line_ends_fault(std::span<const uint8_t> head) {
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return "a bare line feed";
    }
    if (!is_head_complete(head)) return "no blank line at its end";
    return std::nullopt;
}

}  // namespace

bool is_head_complete(std::span<const uint8_t> head) {
    const std::size_t n = head.size();
    return n >= 3 && head[n - 3] == '\n' && head[n - 2] == '\r' && head[n - 1] == '\n';
}

namespace {

// The head through a HeadParser, from reads of up to kReadSize bytes. `read` makes one read
// into the buffer it is given; 0 ends the head there, as the peer's close, a failed read or the
// deadline does.
constexpr std::size_t kReadSize = 16 * 1024;

template <class Read>
IoResult<Head> read_head(Read read) {
    HeadParser parser;
    // On the connection thread's stack: a heap block per connection would be one more thing
    // for the allocator to keep after a storm of connections.
    std::array<uint8_t, kReadSize> buffer;
    for (;;) {
        auto head = parser.next();
        if (!head) return std::unexpected(net::protocol_error(std::move(head.error().message)));
        if (*head) return std::move(**head);
        const std::size_t n = read(std::span<uint8_t>(buffer));
        if (n == 0) break;
        parser.feed(std::span(buffer).first(n));
    }
    const auto held = parser.held();
    return Head{.bytes = std::vector<uint8_t>(held.begin(), held.end()), .after = {}};
}

}  // namespace

IoResult<Head> read_header(net::TcpStream& stream) {
    return read_head([&](std::span<uint8_t> into) -> std::size_t {
        const auto n = stream.read(into);
        return n ? *n : 0;
    });
}

IoResult<Head> read_header(net::TcpStream& stream, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    // Each read waits for what is left of the deadline. The read time-out is set again only
    // when it exceeds what is left by more than `slack` (TcpStream::read_until): a head then
    // ends at most `slack` after its deadline.
    const auto slack = std::min<std::chrono::milliseconds>(std::chrono::seconds(1), deadline / 4);
    return read_head([&](std::span<uint8_t> into) -> std::size_t {
        const auto n = stream.read_until(into, end, slack);
        return n && *n ? **n : 0;
    });
}

IoResult<HttpRequest> from_header(std::vector<uint8_t>& head, net::TcpStream stream,
                                  const UpgradeCheck& accept_upgrade,
                                  std::span<const uint8_t> after) {
    const std::span<uint8_t> all(head);
    auto piece_end = std::find(all.begin(), all.end(), uint8_t{'\n'});
    const std::span<uint8_t> request_line(all.begin(), piece_end);

    const auto first_space = std::find(request_line.begin(), request_line.end(), uint8_t{' '});
    if (first_space == request_line.end()) {
        return std::unexpected(net::protocol_error("No method"));
    }
    HttpRequest request(std::move(stream));
    // Answered 400 and lingered, so that the client reads the answer; no handler sees it.
    const auto refuse = [&request](std::string_view reason) -> IoResult<HttpRequest> {
        if (auto written = request.write_text("Bad Request", 400, "text/plain"); !written) {
            return std::unexpected(written.error());
        }
        request.stream.shutdown_lingering(kLingerTime, kLingerBytes);
        return std::unexpected(net::protocol_error("Bad request head: " + std::string(reason)));
    };
    if (const auto fault = line_ends_fault(head)) return refuse(*fault);
    request.method = text_of(std::span(request_line.begin(), first_space));
    const std::span<uint8_t> rest(first_space + 1, request_line.end());
    const auto second_space = std::find(rest.begin(), rest.end(), uint8_t{' '});
    if (second_space != rest.end()) {
        request.path = text_of(std::span(rest.begin(), second_space));
    } else if (!rest.empty()) {
        request.path = text_of(rest.first(rest.size() - 1));  // less its carriage return
    }

    while (piece_end != all.end()) {
        const auto piece_begin = piece_end + 1;
        piece_end = std::find(piece_begin, all.end(), uint8_t{'\n'});
        if (const auto fault = parse_header_line(std::span(piece_begin, piece_end), request)) {
            return refuse(*fault);
        }
    }

    if (request.is_websockt()) {
        // RFC 6455 4.2.2: "If the server chooses not to accept the connection, it MUST return an
        // appropriate HTTP error code (e.g., 403 Forbidden) and abort the WebSocket handshake".
        // Refused before the 101, the browser sees the handshake fail rather than an open socket.
        if (accept_upgrade && !accept_upgrade(request)) {
            if (auto written = request.write_text("Forbidden", 403, "text/plain"); !written) {
                return std::unexpected(written.error());
            }
            request.stream.shutdown_lingering(kLingerTime, kLingerBytes);
            return std::unexpected(net::protocol_error("WebSocket upgrade refused"));
        }
        // RFC 6455 4.2.2: the opening handshake is answered before any handler sees the request.
        if (auto written = request.write_ws_def_header(); !written) {
            return std::unexpected(written.error());
        }
        if (auto flushed = request.stream.flush(); !flushed) {
            return std::unexpected(flushed.error());
        }
        request.keep_after_head(after);
    }
    return request;
}

void HttpRequest::keep_after_head(std::span<const uint8_t> bytes) { frames_.feed(bytes); }

bool HttpRequest::is_websockt() const { return upgrade && *upgrade == "websocket"; }

std::optional<std::string> HttpRequest::get_ext() const {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return std::nullopt;
    }
    return path.substr(dot + 1);
}

std::string HttpRequest::get_route() const {
    // The route keeps its first two characters and runs up to the next "/".
    const std::size_t from = char_offset(path, 2);
    const std::size_t slash = path.find('/', from);
    return slash == std::string::npos ? path : path.substr(0, slash);
}

std::optional<std::string> HttpRequest::get_value(std::string_view name) const {
    for (std::size_t i = 0; i < header_names.size(); ++i) {
        if (header_names[i] == name) {
            return header_values[i];
        }
    }
    return std::nullopt;
}

bool HttpRequest::from_origin(std::string_view allowed) const {
    if (!origin) {
        return true;  // not a browser page: nothing to hold against the allowed origin
    }
    // An origin is scheme://host[:port]. It matches the allowed origin as a whole, or as the
    // part of an allowed URL before its path; a mere prefix ("https://a.example.co" of
    // "https://a.example.com", "http://host" of "http://host:8095") is someone else.
    if (origin->empty()) {
        return false;
    }
    const std::string lower = string::to_lower(allowed);
    if (!lower.starts_with(*origin)) {
        return false;
    }
    return lower.size() == origin->size() || lower[origin->size()] == '/';
}

IoResult<void> HttpRequest::dipatch(const std::function<IoResult<void>(HttpRequest&)>& func) {
    return func(*this);
}

}  // namespace vornic::velkin::http
