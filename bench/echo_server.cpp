#include "bench/echo_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "bench/frames.h"
#include "bench/sockets.h"

namespace kx_agent::bench {
namespace {

std::string header_value(std::string_view head, std::string_view name) {
    std::size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string_view::npos) {
        at += 2;
        std::string_view line = head.substr(at, head.find("\r\n", at) - at);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            std::string_view value = line.substr(name.size() + 1);
            while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
            return std::string(value);
        }
    }
    return {};
}

// The server's own socket reads wait without limit, as the agent's relay does.
constexpr std::chrono::milliseconds kNoTimeout{0};

}  // namespace

std::vector<std::size_t> reply_sizes_of(std::string_view request_line) {
    std::vector<std::size_t> sizes;
    constexpr std::string_view kKey = "replies=";
    std::size_t at = request_line.find(kKey);
    if (at == std::string_view::npos) return sizes;
    std::string_view list = request_line.substr(at + kKey.size());
    list = list.substr(0, list.find(' '));
    while (!list.empty()) {
        std::size_t value = 0;
        auto [end, error] = std::from_chars(list.data(), list.data() + list.size(), value);
        if (error != std::errc()) break;
        sizes.push_back(std::min<std::size_t>(value, 1 << 20));
        list.remove_prefix(static_cast<std::size_t>(end - list.data()));
        if (!list.empty() && list.front() == ',') list.remove_prefix(1);
        else break;
    }
    return sizes;
}

std::optional<std::size_t> work_of(std::string_view request_line) {
    constexpr std::string_view kKey = "work=";
    std::size_t at = request_line.find(kKey);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = request_line.substr(at + kKey.size());
    std::size_t value = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc()) return std::nullopt;
    return value;
}

std::expected<std::unique_ptr<EchoServer>, std::string> EchoServer::start(WorkFactory work) {
    uint16_t port = 0;
    auto listener = listen_loopback(port);
    if (!listener) return std::unexpected(listener.error());
    std::unique_ptr<EchoServer> server(new EchoServer(*listener, port, std::move(work)));
    server->acceptor_ = std::thread([raw = server.get()] { raw->accept_loop(); });
    return server;
}

EchoServer::EchoServer(int listener, uint16_t port, WorkFactory work)
    : listener_(listener), port_(port), work_(std::move(work)) {}

EchoServer::~EchoServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    // Linux wakes a blocked accept when its listener is shut down.
    ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    ::close(listener_);
    for (std::thread& connection : connections_) connection.join();
}

void EchoServer::accept_loop() {
    for (;;) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            if (fd >= 0) ::close(fd);
            return;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        tune_socket(fd, kNoTimeout);
        open_.insert(fd);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void EchoServer::serve(int fd) {
    FrameReader reader;
    std::vector<uint8_t> out;
    std::vector<uint8_t> payload;
    auto head = reader.read_head(fd);
    std::vector<std::size_t> sizes;
    Work work;
    if (head) {
        const std::string line = head->substr(0, head->find('\r'));
        sizes = reply_sizes_of(line);
        if (auto kind = work_of(line); kind && work_) {
            auto made = work_(*kind);
            if (made) work = std::move(*made);
            else head = std::unexpected(made.error());
        }
    }
    if (head) {
        std::string answer =
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: " +
            accept_value(header_value(*head, "Sec-WebSocket-Key")) + "\r\n\r\n";
        if (!send_all(fd,
                      std::span(reinterpret_cast<const uint8_t*>(answer.data()), answer.size())))
            head = std::unexpected(std::string("send"));
    }
    for (std::size_t turn = 0; head; ++turn) {
        auto frame = reader.next(fd);
        if (!frame || frame->opcode == kOpClose) break;
        // The work of a unit runs once, with its first message.
        if (work && turn % std::max<std::size_t>(sizes.size(), 1) == 0 && !work()) break;
        std::span<const uint8_t> reply = frame->payload;
        if (!sizes.empty()) {
            payload.assign(frame->payload.begin(), frame->payload.end());
            payload.resize(sizes[turn % sizes.size()]);
            reply = payload;
        }
        out.clear();
        append_frame(out, kOpBinary, reply, nullptr);
        if (!send_all(fd, out)) break;
    }
    std::lock_guard lock(mutex_);
    open_.erase(fd);
    ::close(fd);
}

}  // namespace kx_agent::bench
