#include "bench/ws_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "bench/sockets.h"

namespace kx_agent::bench {

WsClient::WsClient(int fd) : fd_(fd), masks_(std::random_device{}()) { out_.reserve(4096); }

WsClient::WsClient(WsClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      reader_(std::move(other.reader_)),
      out_(std::move(other.out_)),
      masks_(other.masks_) {}

WsClient& WsClient::operator=(WsClient&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        reader_ = std::move(other.reader_);
        out_ = std::move(other.out_);
        masks_ = other.masks_;
    }
    return *this;
}

WsClient::~WsClient() { close(); }

std::expected<WsClient, std::string> WsClient::open(uint16_t port, std::string_view path) {
    auto fd = connect_loopback(port);
    if (!fd) return std::unexpected(fd.error());
    WsClient client(*fd);
    // The key only has to be 16 base64-encoded bytes; this one is RFC 6455's own example.
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    // The agent serves only requests that name it, address and port (its Host check).
    std::string request = "GET " + std::string(path) +
                          " HTTP/1.1\r\n"
                          "Host: 127.0.0.1:" +
                          std::to_string(port) +
                          "\r\n"
                          "Upgrade: websocket\r\n"
                          "Connection: Upgrade\r\n"
                          "Sec-WebSocket-Key: " +
                          key +
                          "\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n";
    auto sent = send_all(
        client.fd_, std::span(reinterpret_cast<const uint8_t*>(request.data()), request.size()));
    if (!sent) return std::unexpected(sent.error());
    auto head = client.reader_.read_head(client.fd_);
    if (!head) return std::unexpected("opening handshake: " + head.error());
    if (!head->starts_with("HTTP/1.1 101") ||
        head->find("Sec-WebSocket-Accept: " + accept_value(key)) == std::string::npos)
        return std::unexpected("opening handshake refused: " + head->substr(0, head->find('\r')));
    return client;
}

std::array<uint8_t, 4> WsClient::next_mask() {
    // RFC 6455 5.3 wants unpredictable keys against cache poisoning by scripts; a benchmark's
    // loopback traffic only needs a new key per frame.
    uint32_t value = static_cast<uint32_t>(masks_());
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::expected<std::span<const uint8_t>, std::string> WsClient::call(
    std::span<const uint8_t> message) {
    if (auto sent = send(message); !sent) return std::unexpected(sent.error());
    return receive();
}

std::expected<void, std::string> WsClient::send(std::span<const uint8_t> message) {
    out_.clear();
    const std::array<uint8_t, 4> mask = next_mask();
    append_frame(out_, kOpBinary, message, &mask);
    return send_all(fd_, out_);
}

std::expected<std::span<const uint8_t>, std::string> WsClient::receive() {
    auto frame = reader_.next(fd_);
    if (!frame) return std::unexpected(frame.error());
    if (frame->opcode != kOpBinary)
        return std::unexpected("reply with opcode " + std::to_string(frame->opcode));
    return frame->payload;
}

void WsClient::close() {
    if (fd_ < 0) return;
    out_.clear();
    const std::array<uint8_t, 4> mask = next_mask();
    append_frame(out_, kOpClose, {}, &mask);
    (void)send_all(fd_, out_);
    ::shutdown(fd_, SHUT_WR);
    ::close(std::exchange(fd_, -1));
}

}  // namespace kx_agent::bench
