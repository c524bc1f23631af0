#pragma once
// Blocking TCP streams and listeners over POSIX sockets or Winsock 2 (velkin/platform/socket.h).
// Failures are values (IoResult), never exceptions; writes never raise SIGPIPE.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "velkin/platform/socket.h"

namespace vornic::velkin::net {

struct IoError {
    int code = 0;  // errno (WSAGetLastError on Windows), or 0 for protocol errors
    std::string message;
};

template <class T = void>
using IoResult = std::expected<T, IoError>;

// An IPv4 or IPv6 socket address, as getsockname fills it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// An error value for a system error code: "<system text> (os error N)".
IoError os_error(int code);
// A protocol error (code 0) with the given text.
IoError protocol_error(std::string message);
// The peer ended the stream where more was to come: "failed to fill whole buffer: end of
// stream". An end rather than a fault, which is_end_of_stream tells apart.
IoError end_of_stream();
bool is_end_of_stream(const IoError& error);

// One connected stream socket. Works on any stream socket fd (TCP, Unix socketpair).
class TcpStream {
public:
    explicit TcpStream(sys::Socket fd) noexcept : fd_(fd) {}
    TcpStream(TcpStream&& other) noexcept;
    TcpStream& operator=(TcpStream&& other) noexcept;
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;
    ~TcpStream();

    // A blocking connect to an IPv4 address.
    static IoResult<TcpStream> connect(const sockaddr_in& address);
    static IoResult<TcpStream> connect(const SocketAddress& address);
    static IoResult<TcpStream> connect(std::string_view ipv4_address, uint16_t port);

    sys::Socket native_handle() const noexcept { return fd_; }

    // One read call: up to buffer.size() bytes, 0 at end of stream. An interrupted or timed-out
    // read is an error, not retried. It waits at most the read time-out in force: the one
    // set_read_timeout set, or the bound of the last read_within or read_until where that
    // bounded the read itself (see sys::kReceiveUnderTimeout).
    IoResult<std::size_t> read(std::span<uint8_t> buffer);
    // One read that waits at most `limit` (at least a millisecond) for bytes or the peer's end:
    // up to buffer.size() bytes, 0 at end of stream, nullopt when nothing came in time. An
    // interrupted read is repeated, and waits its whole `limit` again. On POSIX it is one
    // receive under SO_RCVTIMEO, set to `limit` only when that is not the one in force (which
    // `limit` then stays: a quiet connection read again and again under one bound costs one
    // system call a read); on Windows a wait for readiness, then the read.
    IoResult<std::optional<std::size_t>> read_within(std::span<uint8_t> buffer,
                                                     std::chrono::milliseconds limit);
    // As read_within, until `deadline`, at most `slack` beyond it: the read time-out is set
    // only when the one in force would end the read before the deadline or more than `slack`
    // after it, so that a head read in many pieces costs a setsockopt every `slack` at most.
    IoResult<std::optional<std::size_t>> read_until(std::span<uint8_t> buffer,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    std::chrono::milliseconds slack);
    // Fills the whole buffer; end of stream first is an error.
    IoResult<void> read_exact(std::span<uint8_t> buffer);
    IoResult<void> write_all(std::span<const uint8_t> bytes);
    // As write_all, and fails once `deadline` has passed with bytes still unsent, however the
    // peer spaces what it takes (the write time-out alone bounds each send, and starts again
    // after every partial one).
    IoResult<void> write_all(std::span<const uint8_t> bytes,
                             std::chrono::steady_clock::time_point deadline);
    // Nothing is buffered in user space, so there is nothing to push; kept for the callers that
    // mark the end of a response.
    IoResult<void> flush();
    // nullopt: reads block without limit. A zero duration is refused (it would mean the same).
    // Always set, even when it is the one in force.
    IoResult<void> set_read_timeout(std::optional<std::chrono::milliseconds> timeout);
    // Bounds each send: a write that can pass no byte for `timeout` fails (nullopt: no limit).
    IoResult<void> set_write_timeout(std::optional<std::chrono::milliseconds> timeout);
    IoResult<void> set_nodelay(bool on);
    // shutdown(2) with SHUT_RD, SHUT_WR or SHUT_RDWR (also named so on Windows).
    IoResult<void> shutdown(int how);
    // Ends the conversation without losing what was written: the write side is shut (the peer
    // reads end of stream after the last byte), then what the peer still sends is read and
    // dropped until it closes, `limit` has passed or `max_bytes` have come. Closing a socket
    // with unread input makes the kernel send a reset, which can destroy the last bytes written
    // before the peer has read them.
    void shutdown_lingering(std::chrono::milliseconds limit, std::size_t max_bytes);

private:
    // One receive under the read time-out `timeout`, set first when it is not the one in
    // force: bytes, or nullopt when it ran out. An interrupted receive is an error (the caller
    // repeats it).
    IoResult<std::optional<std::size_t>> receive_under(std::span<uint8_t> buffer,
                                                       std::chrono::milliseconds timeout);
    // A wait for readiness within `limit`, then one read (retried when interrupted): Winsock's
    // bounded read.
    IoResult<std::optional<std::size_t>> receive_when_ready(std::span<uint8_t> buffer,
                                                            std::chrono::milliseconds limit);

    sys::Socket fd_ = sys::kInvalidSocket;
    std::optional<std::chrono::milliseconds> write_timeout_;  // as last set
    std::optional<std::chrono::milliseconds> read_timeout_;   // in force (nullopt: none)
};

class TcpListener {
public:
    // Takes a socket fd that is (or should be) a listening socket.
    explicit TcpListener(sys::Socket fd) noexcept : fd_(fd) {}
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    ~TcpListener();

    // Binds with SO_REUSEADDR and listens; port 0 picks an ephemeral port. An address with a
    // colon is IPv6 ("::1"), bound for IPv6 alone (IPV6_V6ONLY), so that it never takes the
    // IPv4 form of the port as well.
    static IoResult<TcpListener> bind(std::string_view address, uint16_t port);

    IoResult<TcpStream> accept();
    uint16_t port() const;                          // 0 when the address cannot be read
    IoResult<sockaddr_in> local_addr() const;       // an IPv4 listener's address
    IoResult<SocketAddress> local_address() const;  // of either family
    sys::Socket native_handle() const noexcept { return fd_; }

private:
    sys::Socket fd_ = sys::kInvalidSocket;
};

}  // namespace vornic::velkin::net
