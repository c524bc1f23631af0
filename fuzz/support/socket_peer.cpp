#include "socket_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tolvane::fuzz {

void silence_stdout() {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
}

SocketPeer::SocketPeer() : thread_([this] { pump(); }) {}

SocketPeer::~SocketPeer() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

int SocketPeer::open(std::span<const uint8_t> input) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard lock(mutex_);
        input_ = input;
        output_.clear();
        job_ = fds[1];
        done_ = false;
    }
    changed_.notify_all();
    return fds[0];
}

const std::vector<uint8_t>& SocketPeer::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return done_; });
    return output_;
}

void SocketPeer::pump() {
    for (;;) {
        int fd;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return quit_ || job_ >= 0; });
            if (job_ < 0) return;
            fd = job_;
        }
        serve(fd);
        ::close(fd);
        {
            std::lock_guard lock(mutex_);
            job_ = -1;
            done_ = true;
        }
        changed_.notify_all();
    }
}

void SocketPeer::serve(int fd) {
    std::span<const uint8_t> left = input_;
    bool writing = true;
    if (left.empty()) {
        ::shutdown(fd, SHUT_WR);
        writing = false;
    }
    uint8_t buffer[16384];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (writing && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = ::send(fd, left.data(), left.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) left = left.subspan(static_cast<std::size_t>(n));
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || left.empty()) {
                ::shutdown(fd, SHUT_WR);  // the server reads end of stream after the input
                writing = false;
            }
        }
        if (p.revents & (POLLIN | POLLERR | POLLHUP)) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                output_.insert(output_.end(), buffer, buffer + n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                return;  // the server closed its end (a reset counts: it left input unread)
            }
        }
    }
}

}  // namespace tolvane::fuzz
