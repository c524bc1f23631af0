// Winsock 2 behind the names of platform/socket.h.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <string_view>

#include "velkin/platform/socket.h"

namespace vornic::velkin::net::sys {

namespace {

// Winsock must be started before the first socket; it stays up for the life of the process.
bool winsock_started() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

Socket not_inherited(Socket socket) {
    if (socket != INVALID_SOCKET) {
        // Best effort: a failure only lets a child process hold the socket open.
        (void)::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
    return socket;
}

int clamp(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

Socket open_tcp(int family) {
    if (!winsock_started()) {
        return INVALID_SOCKET;
    }
    return not_inherited(::socket(family, SOCK_STREAM, IPPROTO_TCP));
}

Socket accept(Socket listener) { return not_inherited(::accept(listener, nullptr, nullptr)); }

void close(Socket socket) { ::closesocket(socket); }

std::ptrdiff_t receive(Socket socket, void* buffer, std::size_t size) {
    return ::recv(socket, static_cast<char*>(buffer), clamp(size), 0);
}

std::ptrdiff_t send(Socket socket, const void* bytes, std::size_t size) {
    // Windows has no SIGPIPE: a peer that has gone away only makes the call fail.
    return ::send(socket, static_cast<const char*>(bytes), clamp(size), 0);
}

int set_int_option(Socket socket, int level, int name, int value) {
    return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
                   0
               ? 0
               : -1;
}

int wait_readable(Socket socket, std::chrono::milliseconds timeout) {
    WSAPOLLFD ready{};
    ready.fd = socket;
    ready.events = POLLIN;
    const int n =
        ::WSAPoll(&ready, 1, static_cast<int>(std::min<long long>(timeout.count(), INT_MAX)));
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

bool peer_closed(Socket socket) {
    WSAPOLLFD probe{};
    probe.fd = socket;
    probe.events = POLLRDNORM;
    if (::WSAPoll(&probe, 1, 0) <= 0) return false;
    if ((probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    if ((probe.revents & POLLRDNORM) == 0) return false;
    // Readable: either bytes wait, or the peer's end (a read of 0) or a reset does.
    char byte = 0;
    const int n = ::recv(socket, &byte, 1, MSG_PEEK);
    return n == 0 || (n < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

int allow_address_reuse(Socket listener) {
    return set_int_option(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}

namespace {
int set_timeout(Socket socket, int option, std::optional<std::chrono::milliseconds> timeout) {
    // Winsock takes the time-out as a DWORD of milliseconds; 0 means no limit.
    DWORD milliseconds = 0;
    if (timeout) {
        milliseconds = timeout->count() >= static_cast<long long>(ULONG_MAX)
                           ? ULONG_MAX - 1
                           : static_cast<DWORD>(timeout->count());
    }
    return ::setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&milliseconds),
                        sizeof milliseconds) == 0
               ? 0
               : -1;
}
}  // namespace

int set_receive_timeout(Socket socket, std::optional<std::chrono::milliseconds> timeout) {
    return set_timeout(socket, SO_RCVTIMEO, timeout);
}

int set_send_timeout(Socket socket, std::optional<std::chrono::milliseconds> timeout) {
    return set_timeout(socket, SO_SNDTIMEO, timeout);
}

// "If a send or receive operation times out on a socket, the socket state is indeterminate,
// and should not be used" (setsockopt, SO_RCVTIMEO): a bounded read waits with WSAPoll, then
// receives. The receive time-out stays a last bound that ends the connection.
const bool kReceiveUnderTimeout = false;

bool timed_out(int code) { return code == WSAETIMEDOUT; }

int last_error() { return ::WSAGetLastError(); }

bool interrupted(int code) { return code == WSAEINTR; }

bool out_of_descriptors(int code) { return code == WSAEMFILE || code == WSAENOBUFS; }

bool address_in_use(int code) { return code == WSAEADDRINUSE || code == WSAEACCES; }

std::string error_text(int code) {
    char buffer[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                         buffer, sizeof buffer, nullptr);
    std::string_view text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.remove_suffix(1);
    }
    return text.empty() ? "Windows socket error" : std::string(text);
}

}  // namespace vornic::velkin::net::sys
