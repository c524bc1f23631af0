#include "velkin/net.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace vornic::velkin::net {

IoError os_error(int code) {
    return IoError{code, sys::error_text(code) + " (os error " + std::to_string(code) + ")"};
}

IoError protocol_error(std::string message) { return IoError{0, std::move(message)}; }

namespace {
constexpr std::string_view kEndOfStream = "failed to fill whole buffer: end of stream";
}  // namespace

IoError end_of_stream() { return protocol_error(std::string(kEndOfStream)); }

bool is_end_of_stream(const IoError& error) {
    return error.code == 0 && error.message == kEndOfStream;
}

namespace {

IoError last_error() { return os_error(sys::last_error()); }

void close_fd(sys::Socket& fd) {
    if (fd != sys::kInvalidSocket) {
        sys::close(fd);
        fd = sys::kInvalidSocket;
    }
}

// An IPv4 ("127.0.0.1") or IPv6 ("::1") literal and a port.
IoResult<SocketAddress> parse_address(std::string_view text_address, uint16_t port) {
    const std::string text(text_address);
    SocketAddress address;
    if (text.find(':') == std::string::npos) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) != 1) {
            return std::unexpected(protocol_error("invalid IPv4 address: " + text));
        }
        address.length = sizeof v4;
        return address;
    }
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) != 1) {
        return std::unexpected(protocol_error("invalid IPv6 address: " + text));
    }
    address.length = sizeof v6;
    return address;
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

TcpStream::TcpStream(TcpStream&& other) noexcept
    : fd_(std::exchange(other.fd_, sys::kInvalidSocket)),
      write_timeout_(other.write_timeout_),
      read_timeout_(other.read_timeout_) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
    if (this != &other) {
        close_fd(fd_);
        fd_ = std::exchange(other.fd_, sys::kInvalidSocket);
        write_timeout_ = other.write_timeout_;
        read_timeout_ = other.read_timeout_;
    }
    return *this;
}

TcpStream::~TcpStream() { close_fd(fd_); }

IoResult<TcpStream> TcpStream::connect(const sockaddr_in& address) {
    const sys::Socket fd = sys::open_tcp();
    if (fd == sys::kInvalidSocket) {
        return std::unexpected(last_error());
    }
    TcpStream stream(fd);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && sys::interrupted(sys::last_error()));
    if (rc != 0) {
        return std::unexpected(last_error());
    }
    return stream;
}

IoResult<TcpStream> TcpStream::connect(const SocketAddress& address) {
    const sys::Socket fd = sys::open_tcp(address.storage.ss_family);
    if (fd == sys::kInvalidSocket) {
        return std::unexpected(last_error());
    }
    TcpStream stream(fd);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    } while (rc != 0 && sys::interrupted(sys::last_error()));
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
    const std::ptrdiff_t n = sys::receive(fd_, buffer.data(), buffer.size());
    if (n < 0) {
        return std::unexpected(last_error());
    }
    return static_cast<std::size_t>(n);
}

IoResult<std::optional<std::size_t>> TcpStream::receive_under(std::span<uint8_t> buffer,
                                                              std::chrono::milliseconds timeout) {
    if (read_timeout_ != timeout) {
        if (sys::set_receive_timeout(fd_, timeout) != 0) {
            return std::unexpected(last_error());
        }
        read_timeout_ = timeout;
    }
    const std::ptrdiff_t n = sys::receive(fd_, buffer.data(), buffer.size());
    if (n >= 0) {
        return static_cast<std::size_t>(n);
    }
    const int code = sys::last_error();
    if (sys::timed_out(code)) return std::nullopt;
    return std::unexpected(os_error(code));
}

IoResult<std::optional<std::size_t>> TcpStream::receive_when_ready(
    std::span<uint8_t> buffer, std::chrono::milliseconds limit) {
    // A failed wait is not the end of the time: the read says what the failure is.
    if (sys::wait_readable(fd_, limit) == 0) {
        return std::nullopt;
    }
    for (;;) {
        const std::ptrdiff_t n = sys::receive(fd_, buffer.data(), buffer.size());
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (sys::interrupted(sys::last_error())) continue;
        return std::unexpected(last_error());
    }
}

IoResult<std::optional<std::size_t>> TcpStream::read_within(std::span<uint8_t> buffer,
                                                            std::chrono::milliseconds limit) {
    // A zero time-out would mean none at all.
    limit = std::max(limit, std::chrono::milliseconds(1));
    if (!sys::kReceiveUnderTimeout) {
        return receive_when_ready(buffer, limit);
    }
    for (;;) {
        auto read = receive_under(buffer, limit);
        if (!read && sys::interrupted(read.error().code)) continue;
        return read;
    }
}

IoResult<std::optional<std::size_t>> TcpStream::read_until(
    std::span<uint8_t> buffer, std::chrono::steady_clock::time_point deadline,
    std::chrono::milliseconds slack) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        if (!sys::kReceiveUnderTimeout) {
            return receive_when_ready(buffer, left);
        }
        // The time-out in force stays when it ends the read neither early nor late by more
        // than `slack`.
        const bool keep = read_timeout_ && *read_timeout_ >= left && *read_timeout_ <= left + slack;
        auto read = receive_under(buffer, keep ? *read_timeout_ : left);
        // Interrupted, or run out (at the deadline or later): the loop looks at the time left.
        if ((read && !*read) || (!read && sys::interrupted(read.error().code))) continue;
        return read;
    }
}

IoResult<void> TcpStream::read_exact(std::span<uint8_t> buffer) {
    while (!buffer.empty()) {
        const std::ptrdiff_t n = sys::receive(fd_, buffer.data(), buffer.size());
        if (n < 0) {
            if (sys::interrupted(sys::last_error())) {
                continue;
            }
            return std::unexpected(last_error());
        }
        if (n == 0) {
            return std::unexpected(end_of_stream());
        }
        buffer = buffer.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

IoResult<void> TcpStream::write_all(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::ptrdiff_t n = sys::send(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (sys::interrupted(sys::last_error())) {
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

IoResult<void> TcpStream::write_all(std::span<const uint8_t> bytes,
                                    std::chrono::steady_clock::time_point deadline) {
    // Each send may block for what is left of the deadline and no longer. The time-out is set
    // only when the one in force would let a send run on past the deadline by more than a
    // little, so that a write that one send completes costs no more system calls.
    constexpr std::chrono::milliseconds kSlack{50};
    std::optional<std::chrono::milliseconds> in_force = write_timeout_;
    const auto late = [] { return protocol_error("the peer took too long to take a write"); };
    IoResult<void> result;
    while (!bytes.empty()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result = std::unexpected(late());
            break;
        }
        if (!in_force || *in_force > left + kSlack) {
            if (sys::set_send_timeout(fd_, left) != 0) {
                result = std::unexpected(last_error());
                break;
            }
            in_force = left;
        }
        const std::ptrdiff_t n = sys::send(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (sys::interrupted(sys::last_error())) continue;
            // A send that the deadline's time-out ended says so.
            result = std::unexpected(
                std::chrono::steady_clock::now() + kSlack >= deadline ? late() : last_error());
            break;
        }
        if (n == 0) {
            result = std::unexpected(protocol_error("failed to write whole buffer"));
            break;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    if (in_force != write_timeout_) (void)sys::set_send_timeout(fd_, write_timeout_);
    return result;
}

IoResult<void> TcpStream::flush() { return {}; }

IoResult<void> TcpStream::set_read_timeout(std::optional<std::chrono::milliseconds> timeout) {
    if (timeout && timeout->count() <= 0) {
        return std::unexpected(IoError{EINVAL, "cannot set a zero or negative read time-out"});
    }
    if (sys::set_receive_timeout(fd_, timeout) != 0) {
        return std::unexpected(last_error());
    }
    read_timeout_ = timeout;
    return {};
}

IoResult<void> TcpStream::set_write_timeout(std::optional<std::chrono::milliseconds> timeout) {
    if (timeout && timeout->count() <= 0) {
        return std::unexpected(IoError{EINVAL, "cannot set a zero or negative write time-out"});
    }
    if (sys::set_send_timeout(fd_, timeout) != 0) {
        return std::unexpected(last_error());
    }
    write_timeout_ = timeout;
    return {};
}

IoResult<void> TcpStream::set_nodelay(bool on) {
    if (sys::set_int_option(fd_, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0) != 0) {
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
        if (sys::wait_readable(fd_, left) <= 0) {
            return;  // time is up (or the wait failed): close as things are
        }
        const std::ptrdiff_t n = sys::receive(fd_, sink.data(), sink.size());
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

TcpListener::TcpListener(TcpListener&& other) noexcept
    : fd_(std::exchange(other.fd_, sys::kInvalidSocket)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        close_fd(fd_);
        fd_ = std::exchange(other.fd_, sys::kInvalidSocket);
    }
    return *this;
}

TcpListener::~TcpListener() { close_fd(fd_); }

IoResult<TcpListener> TcpListener::bind(std::string_view text_address, uint16_t port) {
    auto address = parse_address(text_address, port);
    if (!address) {
        return std::unexpected(address.error());
    }
    const int family = address->storage.ss_family;
    const sys::Socket fd = sys::open_tcp(family);
    if (fd == sys::kInvalidSocket) {
        return std::unexpected(last_error());
    }
    TcpListener listener(fd);
    if (sys::allow_address_reuse(fd) != 0 ||
        (family == AF_INET6 && sys::set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) != 0) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address->storage), address->length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        return std::unexpected(last_error());
    }
    return listener;
}

IoResult<TcpStream> TcpListener::accept() {
    const sys::Socket fd = sys::accept(fd_);
    if (fd == sys::kInvalidSocket) {
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

IoResult<SocketAddress> TcpListener::local_address() const {
    SocketAddress address;
    address.length = sizeof address.storage;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0) {
        return std::unexpected(last_error());
    }
    return address;
}

uint16_t TcpListener::port() const {
    const auto address = local_addr();
    return address ? ntohs(address->sin_port) : 0;
}

}  // namespace vornic::velkin::net
