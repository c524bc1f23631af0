// The connection procedure of the HTTP server over one connection whose client sends the input:
// the head is read in bulk through the head parser (read_header), parsed (from_header, which answers a
// WebSocket upgrade with the 101 handshake), routed through a handler table with a route, a
// default handler and a MIME map, and answered. The handler asks every query of the request.
//
// The client end reads back all the server wrote; it must be a sequence of well-formed
// responses: heads whose lines end in CR LF with no stray CR or LF (RFC 9112 2.2: a sender
// must not generate a bare CR), each plain response followed by exactly Content-Length bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "socket_peer.h"
#include "velkin/http/http.h"
#include "velkin/mime.h"

namespace {

namespace http = vornic::velkin::http;

[[noreturn]] void fail(const char* what, std::string_view output) {
    std::fprintf(stderr, "response broken: %s\n%.*s\n", what, static_cast<int>(output.size()),
                 output.data());
    std::abort();
}

http::IoResult<void> answer(http::HttpRequest& request) {
    std::string body = request.method;
    body += ' ';
    body += request.get_route();
    if (const auto ext = request.get_ext()) body += " ext=" + *ext;
    for (const char* name : {"host", "origin", "sec-websocket-key", "cookie", ""})
        if (const auto value = request.get_value(name)) body += " " + *value;
    body += request.from_origin("https://rdp.example.com/app") ? " origin-ok" : " origin-refused";
    body += request.from_origin("") ? "+" : "-";
    if (request.is_websockt()) body += " websocket";
    if (request.if_modified_since) body += " ims";
    if (request.handler_context) body += " " + *request.handler_context;
    // Any status but 101, which would read as a second handshake.
    const uint32_t status = 200 + static_cast<uint32_t>(request.path.size() % 320);
    return request.write_text(body, status, request.content_type.value_or("text/plain"));
}

std::shared_ptr<const http::HandlerManager> table() {
    auto handlers = std::make_shared<http::HandlerManager>();
    handlers->set_def_handler(http::HandlerEntry{std::nullopt, answer});
    handlers->add_route("/api", http::HandlerEntry{"api", answer});
    handlers->set_mime(vornic::velkin::mime::MimeType::common());
    return handlers;
}

// Returns the offset just past one head, checking its line ends.
std::size_t check_head(std::string_view output, std::size_t from) {
    const std::size_t end = output.find("\r\n\r\n", from);
    if (end == std::string_view::npos) fail("head without its blank line", output);
    for (std::size_t i = from; i < end + 4; ++i) {
        if (output[i] == '\r' && (i + 1 >= output.size() || output[i + 1] != '\n'))
            fail("bare CR in a response head", output);
        if (output[i] == '\n' && (i == from || output[i - 1] != '\r'))
            fail("bare LF in a response head", output);
    }
    return end + 4;
}

void check_output(std::string_view output) {
    std::size_t at = 0;
    while (at < output.size()) {
        if (!output.substr(at).starts_with("HTTP/1.1 ")) fail("not a response", output);
        const std::size_t head_end = check_head(output, at);
        const std::string_view head = output.substr(at, head_end - at);
        at = head_end;
        if (head.starts_with("HTTP/1.1 101 ")) continue;  // the handshake; a response follows
        const std::size_t field = head.find("\r\nContent-Length: ");
        if (field == std::string_view::npos) fail("no Content-Length", output);
        const std::size_t length = std::strtoul(head.data() + field + 18, nullptr, 10);
        if (output.size() - at < length) fail("body shorter than Content-Length", output);
        at += length;
    }
}

// The head parser alone: the input whole, and split at a point that its first byte chooses,
// must give the same head, the same bytes behind it (the later piece included) or the same
// refusal; a head and what follows it are the input as it came.
void check_parser(std::span<const uint8_t> input) {
    struct Outcome {
        std::vector<uint8_t> head, after;
        std::string error;
        bool need_more = false;
        bool operator==(const Outcome&) const = default;
    };
    const auto parse = [](std::span<const uint8_t> first, std::span<const uint8_t> second) {
        http::HeadParser parser;
        Outcome outcome;
        for (const auto piece : {first, second}) {
            if (outcome.need_more || outcome.head.empty()) {
                parser.feed(piece);
                auto head = parser.next();
                if (!head) return Outcome{{}, {}, head.error().message, false};
                outcome.need_more = !*head;
                if (*head)
                    outcome =
                        Outcome{std::move((*head)->bytes), std::move((*head)->after), "", false};
            } else {
                outcome.after.insert(outcome.after.end(), piece.begin(), piece.end());
            }
        }
        return outcome;
    };
    const Outcome whole = parse(input, {});
    const std::size_t at = input.empty() ? 0 : input[0] % (input.size() + 1);
    if (!(parse(input.first(at), input.subspan(at)) == whole)) fail("a split changed the head", "");
    if (whole.error.empty() && !whole.need_more) {
        if (whole.head.size() > http::kMaxHeadSize) fail("a head past the bound", "");
        std::vector<uint8_t> joined = whole.head;
        joined.insert(joined.end(), whole.after.begin(), whole.after.end());
        if (!std::ranges::equal(joined, input)) fail("head and rest are not the input", "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    check_parser({data, size});
    static tolvane::fuzz::SocketPeer peer;
    static const auto handlers = table();
    const int fd = peer.open({data, size});
    http::handle_connection(vornic::velkin::net::TcpStream(fd), handlers);
    const auto& output = peer.finish();
    check_output(std::string_view(reinterpret_cast<const char*>(output.data()), output.size()));
    return 0;
}
