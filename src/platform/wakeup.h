#pragma once
// A thread that waits for bytes on a socket, and that other threads can wake: the relay thread
// of a connection whose calls run on worker threads waits for the next message and for the
// replies that are ready at the same time. POSIX: a pipe beside the socket in poll(2).
// Windows: a loopback datagram socket that sends to itself, beside the socket in WSAPoll.
#include <expected>

#include "velkin/platform/socket.h"

namespace kx_agent::platform {

class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // False when the system refused what a wake-up needs.
    bool valid() const;
    // From any thread: the waiting thread's `wait` returns, now or at its next call.
    void wake();
    // Forgets the wake-ups so far (call it before taking what they announced).
    void clear();

    struct Ready {
        bool socket = false;  // bytes, the peer's end or an error on the socket
        bool woken = false;
    };
    // Blocks until `socket` is readable (only when `watch_socket`; a failed socket, and where the
    // system can tell it a peer that has closed its end, are reported either way) or a wake-up
    // comes. The error is the system's code.
    std::expected<Ready, int> wait(vornic::velkin::net::sys::Socket socket, bool watch_socket);

private:
#ifdef _WIN32
    SOCKET signal_ = INVALID_SOCKET;
#else
    int fds_[2] = {-1, -1};
#endif
};

}  // namespace kx_agent::platform
