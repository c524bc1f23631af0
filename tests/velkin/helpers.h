#pragma once
// Sockets, frames and a running server for the velkin tests. Every wait is bounded. The parts
// that differ between POSIX and Windows (the socket pair, waiting on a socket, capturing standard
// error) are in platform/.
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "velkin/http/http.h"
#include "velkin/net.h"

namespace velkin_test {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace net = vornic::velkin::net;
namespace http = vornic::velkin::http;

Bytes bytes(std::string_view text);
std::string text(const Bytes& bytes);
Bytes concat(std::initializer_list<Bytes> parts);

// A connected pair of stream sockets (SOCK_SEQPACKET keeps the boundary of every write). On
// Windows a loopback TCP connection, whatever the type.
struct SocketPair {
    net::TcpStream server;
    net::TcpStream client;
};
SocketPair socket_pair(int type = SOCK_STREAM);
// Whether the stream has something to read (data, end of stream or an error) within `limit`.
bool wait_readable(net::TcpStream& stream, std::chrono::milliseconds limit);

void send_all(net::TcpStream& stream, const Bytes& data);
void send_all(net::TcpStream& stream, std::string_view data);
// Everything the peer sends until it closes, or until `limit` has passed.
Bytes read_until_close(net::TcpStream& stream, std::chrono::milliseconds limit = 5s);
// Whatever arrives within `limit` (waits the whole time unless the peer closes).
Bytes read_for(net::TcpStream& stream, std::chrono::milliseconds limit);
// Exactly n bytes, or fewer when the peer closes or `limit` passes.
Bytes read_n(net::TcpStream& stream, std::size_t n, std::chrono::milliseconds limit = 5s);
// Whether the peer has closed (end of stream or reset) within `limit`, with nothing sent.
bool closed_without_data(net::TcpStream& stream, std::chrono::milliseconds limit);

// A client frame as RFC 6455 5.2 lays it out, masked with `mask` unless `masked` is false.
// length_form: 0 picks the shortest; 126 or 127 force the 16- or 64-bit length.
struct ClientFrame {
    uint8_t first = 0x82;  // FIN + opcode
    Bytes payload;
    int length_form = 0;
    bool masked = true;
    std::array<uint8_t, 4> mask = {0x37, 0xFA, 0x21, 0x3D};
};
Bytes encode(const ClientFrame& frame);

// A head parsed over a socketpair: the request holds the server end, `client` is the peer.
struct Parsed {
    http::IoResult<http::HttpRequest> request;
    net::TcpStream client;
};
Parsed parse(std::string_view head);

// A server on 127.0.0.1 with an ephemeral port, its accept loop on a thread of its own.
class TestServer {
public:
    explicit TestServer(const std::function<void(http::HttpServer&)>& configure = {});
    ~TestServer();
    uint16_t port() const { return port_; }
    net::TcpStream connect() const;
    // Sends `request` on a new connection and returns all bytes until the server closes.
    Bytes exchange(std::string_view request, std::chrono::milliseconds limit = 5s) const;

private:
    net::TcpListener listener_;
    uint16_t port_;
    http::HttpServer server_;
    std::thread thread_;
};

// Standard error sent to a pipe while it lives. Connection threads may print a moment after the
// peer has seen the connection close, so a test waits for the line rather than looking once.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Whether `text` has appeared within `limit`.
    bool wait_for(std::string_view text, std::chrono::milliseconds limit = 5s);
    const std::string& captured() const { return captured_; }

private:
    int saved_ = -1;
    int read_end_ = -1;
    std::string captured_;
};

// A handler entry that answers 200 with `body` as text/plain.
http::HandlerEntry answer(std::string body, std::optional<std::string> context = std::nullopt);

// What a handler saw, shared with the test thread (handlers run on connection threads).
class Seen {
public:
    void add(std::string event);
    std::vector<std::string> events() const;
    // Waits until `event` has been added, up to `limit`.
    bool wait_for(const std::string& event, std::chrono::milliseconds limit = 5s) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
};

// A WebSocket echo: every text message comes back as a binary "T" + text, every binary one as
// "B" + data; each is noted in `seen` ("text:...", "binary:<size>:<hex of up to 16 bytes>",
// "close"). A plain request gets 400.
http::HandlerEntry ws_echo(std::shared_ptr<Seen> seen);

}  // namespace velkin_test
