#pragma once
// The benchmark's WebSocket client, written for speed the way the web client uses the agent:
// one connection, one call in flight. Each call is one masked binary frame sent with one send;
// the reply is read with as few receives as its bytes arrive in.
#include <cstdint>
#include <expected>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bench/frames.h"

namespace kx_agent::bench {

class WsClient {
public:
    // Connects to 127.0.0.1:port and makes the RFC 6455 opening handshake for `path`.
    static std::expected<WsClient, std::string> open(uint16_t port, std::string_view path = "/");

    WsClient(WsClient&& other) noexcept;
    WsClient& operator=(WsClient&& other) noexcept;
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;
    ~WsClient();

    // Sends `message` and returns the payload of the binary reply (valid until the next call).
    std::expected<std::span<const uint8_t>, std::string> call(std::span<const uint8_t> message);
    // The two halves of `call`, for a client with several calls in flight.
    std::expected<void, std::string> send(std::span<const uint8_t> message);
    std::expected<std::span<const uint8_t>, std::string> receive();
    // Sends a close frame and closes the socket.
    void close();

private:
    explicit WsClient(int fd);
    std::array<uint8_t, 4> next_mask();

    int fd_ = -1;
    FrameReader reader_;
    std::vector<uint8_t> out_;
    std::minstd_rand masks_;
};

}  // namespace kx_agent::bench
