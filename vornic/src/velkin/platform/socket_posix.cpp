// POSIX sockets behind the names of platform/socket.h.
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "velkin/platform/socket.h"

namespace vornic::velkin::net::sys {

Socket open_tcp(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

Socket accept(Socket listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

void close(Socket socket) { ::close(socket); }

std::ptrdiff_t receive(Socket socket, void* buffer, std::size_t size) {
    return ::recv(socket, buffer, size, 0);
}

std::ptrdiff_t send(Socket socket, const void* bytes, std::size_t size) {
    // MSG_NOSIGNAL: a peer that has gone away gives EPIPE, not a process-ending SIGPIPE.
    return ::send(socket, bytes, size, MSG_NOSIGNAL);
}

int wait_readable(Socket socket, std::chrono::milliseconds timeout) {
    pollfd ready{};
    ready.fd = socket;
    ready.events = POLLIN;
    const int n =
        ::poll(&ready, 1, static_cast<int>(std::min<long long>(timeout.count(), INT_MAX)));
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

bool peer_closed(Socket socket) {
    pollfd probe{socket, POLLRDHUP, 0};
    if (::poll(&probe, 1, 0) <= 0) return false;
    return (probe.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int allow_address_reuse(Socket listener) {
    return set_int_option(listener, SOL_SOCKET, SO_REUSEADDR, 1);
}

int set_int_option(Socket socket, int level, int name, int value) {
    return ::setsockopt(socket, level, name, &value, sizeof value);
}

namespace {
int set_timeout(Socket socket, int option, std::optional<std::chrono::milliseconds> timeout) {
    timeval tv{};  // zero: no limit
    if (timeout) {
        tv.tv_sec = static_cast<time_t>(timeout->count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((timeout->count() % 1000) * 1000);
    }
    return ::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv);
}
}  // namespace

int set_receive_timeout(Socket socket, std::optional<std::chrono::milliseconds> timeout) {
    return set_timeout(socket, SO_RCVTIMEO, timeout);
}

int set_send_timeout(Socket socket, std::optional<std::chrono::milliseconds> timeout) {
    return set_timeout(socket, SO_SNDTIMEO, timeout);
}

// A receive that times out fails with EAGAIN and the socket reads on: a bounded read is one
// system call (and a setsockopt when its bound is not the one in force).
const bool kReceiveUnderTimeout = true;

bool timed_out(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

int last_error() { return errno; }

bool interrupted(int code) { return code == EINTR; }

bool out_of_descriptors(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

bool address_in_use(int code) { return code == EADDRINUSE; }

std::string error_text(int code) { return std::strerror(code); }

}  // namespace vornic::velkin::net::sys
