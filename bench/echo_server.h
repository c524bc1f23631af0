#pragma once
// The floor under every relayed call: a minimal WebSocket server on a loopback port that
// answers each message at once, with the same socket options and the same thread-per-
// connection model as the agent, and none of its work.
//
// A connection opened on "/?replies=62,46" answers its messages, in turn, with messages of 62,
// 46, 62, ... bytes (the request's bytes, cut or zero-padded), so that a round trip carries the
// same sizes each way as the agent's would. Without the query each message comes back as sent.
//
// With "&work=N" the connection's thread also runs a unit of work N (given by the `work`
// callback, made on that thread) before each reply: the PC/SC call itself, made where the
// agent makes it. That is the least any relay of the call can cost on this machine.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kx_agent::bench {

class EchoServer {
public:
    // One unit of work done before a reply; an error closes the connection.
    using Work = std::function<std::expected<void, std::string>()>;
    using WorkFactory = std::function<std::expected<Work, std::string>(std::size_t)>;

    static std::expected<std::unique_ptr<EchoServer>, std::string> start(WorkFactory work = {});
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    uint16_t port() const { return port_; }

private:
    EchoServer(int listener, uint16_t port, WorkFactory work);
    void accept_loop();
    void serve(int fd);

    int listener_;
    uint16_t port_;
    WorkFactory work_;
    std::thread acceptor_;
    std::mutex mutex_;
    std::set<int> open_;  // connection sockets, shut down when the server stops
    std::vector<std::thread> connections_;
    bool stopping_ = false;
};

// The reply sizes asked for by the path of an opening handshake ("/?replies=62,46").
std::vector<std::size_t> reply_sizes_of(std::string_view request_line);
// The work asked for by the path ("&work=3"), if any.
std::optional<std::size_t> work_of(std::string_view request_line);

}  // namespace kx_agent::bench
