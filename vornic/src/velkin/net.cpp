#include "velkin/net.h"

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vornic::velkin::net {

IoError os_error(int code) {
    return IoError{code, std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"};
}

IoError protocol_error(std::string message) { return IoError{0, std::move(message)}; }

namespace {

IoError last_error() { return os_error(errno); }

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

IoResult<sockaddr_in> parse_ipv4(std::string_view ipv4_address, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const std::string text(ipv4_address);
    if (::inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) {
        return std::unexpected(protocol_error("invalid IPv4 address: " + text));
    }
    return address;
}

}  // namespace

TcpStream::TcpStream(TcpStream&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
    if (this != &other) {
        close_fd(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TcpStream::~TcpStream() { close_fd(fd_); }

IoResult<TcpStream> TcpStream::connect(const sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::unexpected(last_error());
    }
    TcpStream stream(fd);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return std::unexpected(last_error());
    }
    return stream;
}

IoResult<TcpStream> TcpStream::connect(std::string_view ipv4_address, uint16_t port) {
    auto address = parse_ipv4(ipv4_address, port);
    if (!address) {
        return std::unexpected(address.error());
    }
    return connect(*address);
}

IoResult<std::size_t> TcpStream::read(std::span<uint8_t> buffer) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) {
        return std::unexpected(last_error());
    }
    return static_cast<std::size_t>(n);
}

IoResult<void> TcpStream::read_exact(std::span<uint8_t> buffer) {
    while (!buffer.empty()) {
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(last_error());
        }
        if (n == 0) {
            return std::unexpected(protocol_error("failed to fill whole buffer: end of stream"));
        }
        buffer = buffer.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

IoResult<void> TcpStream::write_all(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE, not a process-ending SIGPIPE.
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(last_error());
        }
        if (n == 0) {
            return std::unexpected(protocol_error("failed to write whole buffer"));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

IoResult<void> TcpStream::flush() { return {}; }

IoResult<void> TcpStream::set_read_timeout(std::optional<std::chrono::milliseconds> timeout) {
    timeval tv{};
    if (timeout) {
        if (timeout->count() <= 0) {
            return std::unexpected(IoError{EINVAL, "cannot set a zero or negative read time-out"});
        }
        tv.tv_sec = static_cast<time_t>(timeout->count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((timeout->count() % 1000) * 1000);
    }
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        return std::unexpected(last_error());
    }
    return {};
}

IoResult<void> TcpStream::set_nodelay(bool on) {
    const int value = on ? 1 : 0;
    if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
        return std::unexpected(last_error());
    }
    return {};
}

void TcpStream::shutdown_lingering(std::chrono::milliseconds limit, std::size_t max_bytes) {
    if (::shutdown(fd_, SHUT_WR) != 0) {
        return;  // not connected any more: nothing to keep
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::array<uint8_t, 4096> sink{};
    for (std::size_t dropped = 0; dropped < max_bytes;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return;  // time is up (or poll failed): close as things are
        }
        const ssize_t n = ::recv(fd_, sink.data(), sink.size(), MSG_DONTWAIT);
        if (n <= 0) {
            return;  // the peer has closed (or reset)
        }
        dropped += static_cast<std::size_t>(n);
    }
}

IoResult<void> TcpStream::shutdown(int how) {
    if (::shutdown(fd_, how) != 0) {
        return std::unexpected(last_error());
    }
    return {};
}

TcpListener::TcpListener(TcpListener&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        close_fd(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TcpListener::~TcpListener() { close_fd(fd_); }

IoResult<TcpListener> TcpListener::bind(std::string_view ipv4_address, uint16_t port) {
    auto address = parse_ipv4(ipv4_address, port);
    if (!address) {
        return std::unexpected(address.error());
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::unexpected(last_error());
    }
    TcpListener listener(fd);
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        return std::unexpected(last_error());
    }
    return listener;
}

IoResult<TcpStream> TcpListener::accept() {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return std::unexpected(last_error());
    }
    return TcpStream(fd);
}

IoResult<sockaddr_in> TcpListener::local_addr() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return std::unexpected(last_error());
    }
    if (address.sin_family != AF_INET) {
        return std::unexpected(protocol_error("listener is not an IPv4 socket"));
    }
    return address;
}

uint16_t TcpListener::port() const {
    const auto address = local_addr();
    return address ? ntohs(address->sin_port) : 0;
}

}  // namespace vornic::velkin::net
