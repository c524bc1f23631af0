#include "helpers.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "wire.h"

namespace velkin_test {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void send_all(net::TcpStream& stream, const Bytes& data) {
    const auto sent = stream.write_all(data);
    ASSERT_TRUE(sent) << sent.error().message;
}

void send_all(net::TcpStream& stream, std::string_view data) { send_all(stream, bytes(data)); }

namespace {

// Reads what arrives until the peer closes, `n` bytes are in, or the deadline passes.
// Returns whether the peer closed.
bool read_some(net::TcpStream& stream, Bytes& into, std::size_t n,
               std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (into.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (!wait_readable(stream, left)) {
            return false;
        }
        uint8_t buffer[65536];
        const std::size_t want = std::min(sizeof buffer, n - into.size());
        const auto got = stream.read(std::span(buffer, want));
        if (!got || *got == 0) {
            return true;
        }
        into.insert(into.end(), buffer, buffer + *got);
    }
    return false;
}

}  // namespace

Bytes read_until_close(net::TcpStream& stream, std::chrono::milliseconds limit) {
    Bytes all;
    if (!read_some(stream, all, SIZE_MAX, limit)) {
        ADD_FAILURE() << "the peer did not close within " << limit.count() << " ms";
    }
    return all;
}

Bytes read_for(net::TcpStream& stream, std::chrono::milliseconds limit) {
    Bytes all;
    read_some(stream, all, SIZE_MAX, limit);
    return all;
}

Bytes read_n(net::TcpStream& stream, std::size_t n, std::chrono::milliseconds limit) {
    Bytes all;
    read_some(stream, all, n, limit);
    return all;
}

bool closed_without_data(net::TcpStream& stream, std::chrono::milliseconds limit) {
    Bytes all;
    return read_some(stream, all, SIZE_MAX, limit) && all.empty();
}

Bytes encode(const ClientFrame& frame) {
    Bytes out{frame.first};
    const uint8_t mask_bit = frame.masked ? 0x80 : 0x00;
    const std::size_t n = frame.payload.size();
    const int form = frame.length_form != 0 ? frame.length_form
                     : n <= 125             ? 0
                     : n <= 0xFFFF          ? 126
                                            : 127;
    if (form == 0) {
        out.push_back(static_cast<uint8_t>(mask_bit | n));
    } else if (form == 126) {
        out.push_back(mask_bit | 126);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(mask_bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> shift));
        }
    }
    if (!frame.masked) {
        out.insert(out.end(), frame.payload.begin(), frame.payload.end());
        return out;
    }
    out.insert(out.end(), frame.mask.begin(), frame.mask.end());
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(frame.payload[i] ^ frame.mask[i % 4]);
    }
    return out;
}

Parsed parse(std::string_view head) {
    auto pair = socket_pair();
    Bytes head_bytes = bytes(head);
    auto request = http::from_header(head_bytes, std::move(pair.server));
    return Parsed{std::move(request), std::move(pair.client)};
}

TestServer::TestServer(const std::function<void(http::HttpServer&)>& configure)
    : listener_(net::TcpListener::bind("127.0.0.1", 0).value()), port_(listener_.port()) {
    if (configure) {
        configure(server_);
    }
    thread_ = std::thread([this] { server_.start(listener_); });
}

TestServer::~TestServer() {
    server_.stop();
    thread_.join();
}

net::TcpStream TestServer::connect() const {
    auto stream = net::TcpStream::connect("127.0.0.1", port_);
    EXPECT_TRUE(stream) << stream.error().message;
    return std::move(stream.value());
}

Bytes TestServer::exchange(std::string_view request, std::chrono::milliseconds limit) const {
    auto stream = connect();
    send_all(stream, request);
    return read_until_close(stream, limit);
}

http::HandlerEntry answer(std::string body, std::optional<std::string> context) {
    return http::HandlerEntry{std::move(context), [body](http::HttpRequest& request) {
                                  return request.write_text(body, 200, "text/plain");
                              }};
}

void Seen::add(std::string event) {
    {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::vector<std::string> Seen::events() const {
    const std::lock_guard lock(mutex_);
    return events_;
}

bool Seen::wait_for(const std::string& event, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
}

http::HandlerEntry ws_echo(std::shared_ptr<Seen> seen) {
    return http::HandlerEntry{
        std::nullopt, [seen](http::HttpRequest& request) -> http::IoResult<void> {
            if (!request.is_websockt()) {
                return request.write_text("Bad Request", 400, "text/plain");
            }
            for (;;) {
                auto message = request.read_ws();
                if (!message) {
                    seen->add("error:" + message.error().message);
                    return std::unexpected(message.error());
                }
                if (const auto* t = std::get_if<http::websocket::Text>(&*message)) {
                    seen->add("text:" + t->text);
                    if (auto sent = request.write_ws_binary(bytes("T" + t->text)); !sent) {
                        return sent;
                    }
                } else if (const auto* b = std::get_if<http::websocket::Binary>(&*message)) {
                    const Bytes first(b->data.begin(),
                                      b->data.begin() + std::min<std::size_t>(16, b->data.size()));
                    seen->add("binary:" + std::to_string(b->data.size()) + ":" +
                              kx_agent::test::to_hex(first));
                    if (auto sent = request.write_ws_binary(concat({bytes("B"), b->data})); !sent) {
                        return sent;
                    }
                } else {
                    seen->add("close");
                    return {};
                }
            }
        }};
}

}  // namespace velkin_test
