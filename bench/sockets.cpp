#include "bench/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kx_agent::bench {
namespace {

std::string os_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

void tune_socket(int fd, std::chrono::milliseconds receive_timeout) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(receive_timeout.count() / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((receive_timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::expected<int, std::string> connect_loopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(os_text("socket"));
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::string error = os_text("connect");
        ::close(fd);
        return std::unexpected(error);
    }
    tune_socket(fd, kReceiveTimeout);
    return fd;
}

std::expected<int, std::string> listen_loopback(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(os_text("socket"));
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1024) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::string error = os_text("listen");
        ::close(fd);
        return std::unexpected(error);
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::expected<void, std::string> send_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_text("send"));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

}  // namespace kx_agent::bench
