// The POSIX side of the test helpers: a socketpair, poll, and standard error through a pipe.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "helpers.h"

namespace velkin_test {

SocketPair socket_pair(int type) {
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair failed";
    }
    return SocketPair{net::TcpStream(fds[0]), net::TcpStream(fds[1])};
}

bool wait_readable(net::TcpStream& stream, std::chrono::milliseconds limit) {
    pollfd p{stream.native_handle(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
}

StderrCapture::StderrCapture() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    read_end_ = fds[0];
}

StderrCapture::~StderrCapture() {
    if (saved_ >= 0) {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    if (read_end_ >= 0) {
        ::close(read_end_);
    }
}

bool StderrCapture::wait_for(std::string_view text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (captured_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{read_end_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::read(read_end_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        captured_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace velkin_test
