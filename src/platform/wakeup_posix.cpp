#include "platform/wakeup.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kx_agent::platform {

Wakeup::Wakeup() {
    if (pipe(fds_) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    for (int fd : fds_) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

Wakeup::~Wakeup() {
    for (int fd : fds_)
        if (fd >= 0) close(fd);
}

bool Wakeup::valid() const { return fds_[0] >= 0; }

void Wakeup::wake() {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up.
    (void)!write(fds_[1], &byte, 1);
}

void Wakeup::clear() {
    uint8_t bytes[64];
    while (read(fds_[0], bytes, sizeof bytes) > 0) {
    }
}

std::expected<Wakeup::Ready, int> Wakeup::wait(vornic::velkin::net::sys::Socket socket,
                                               bool watch_socket) {
    // Not read, the socket is still watched for the peer's end (POLLRDHUP: its FIN, seen even
    // behind bytes not yet read); a reset or failure shows as POLLHUP or POLLERR either way.
    pollfd fds[2] = {{socket, static_cast<short>(watch_socket ? POLLIN | POLLRDHUP : POLLRDHUP), 0},
                     {fds_[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) >= 0) break;
        if (errno != EINTR) return std::unexpected(errno);
    }
    return Ready{fds[0].revents != 0, fds[1].revents != 0};
}

}  // namespace kx_agent::platform
