#include "platform/wakeup.h"

#include <cstdint>

namespace kx_agent::platform {

// The signal is a UDP socket on 127.0.0.1 connected to its own address: a wake-up is one
// datagram to itself, and WSAPoll watches it beside the connection's socket. (A pipe cannot be
// polled with a socket on Windows, and WSAEventSelect would make the connection's socket
// non-blocking for good.)
Wakeup::Wakeup() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return;
    SOCKET signal = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (signal == INVALID_SOCKET) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(signal, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(signal, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(signal, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(signal, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(signal);
        return;
    }
    (void)::SetHandleInformation(reinterpret_cast<HANDLE>(signal), HANDLE_FLAG_INHERIT, 0);
    signal_ = signal;
}

Wakeup::~Wakeup() {
    if (signal_ != INVALID_SOCKET) ::closesocket(signal_);
}

bool Wakeup::valid() const { return signal_ != INVALID_SOCKET; }

void Wakeup::wake() {
    const char byte = 1;
    // A full buffer already holds a wake-up.
    (void)::send(signal_, &byte, 1, 0);
}

void Wakeup::clear() {
    char bytes[64];
    while (::recv(signal_, bytes, sizeof bytes, 0) > 0) {
    }
}

std::expected<Wakeup::Ready, int> Wakeup::wait(vornic::velkin::net::sys::Socket socket,
                                               bool watch_socket) {
    WSAPOLLFD fds[2]{};
    fds[0].fd = signal_;
    fds[0].events = POLLRDNORM;
    ULONG count = 1;
    if (watch_socket && socket != INVALID_SOCKET) {
        fds[1].fd = socket;
        fds[1].events = POLLRDNORM;
        count = 2;
    }
    if (::WSAPoll(fds, count, -1) < 0) return std::unexpected(::WSAGetLastError());
    return Ready{count == 2 && fds[1].revents != 0, fds[0].revents != 0};
}

}  // namespace kx_agent::platform
