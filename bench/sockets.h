#pragma once
// Loopback TCP for the benchmark's client and echo server: the socket options both ends use
// (TCP_NODELAY, a receive time-out so that nothing waits for ever) and whole-buffer sends.
#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace kx_agent::bench {

// A connected socket to 127.0.0.1:port with TCP_NODELAY and the receive time-out.
std::expected<int, std::string> connect_loopback(uint16_t port);
// A listener on 127.0.0.1 with an ephemeral port; the port is written to `port`.
std::expected<int, std::string> listen_loopback(uint16_t& port);
// TCP_NODELAY and the receive time-out on an accepted or connected socket.
void tune_socket(int fd, std::chrono::milliseconds receive_timeout);
std::expected<void, std::string> send_all(int fd, std::span<const uint8_t> bytes);

inline constexpr std::chrono::milliseconds kReceiveTimeout{10000};

}  // namespace kx_agent::bench
