// The Windows side of the test helpers: a loopback TCP pair, select, and standard error through a
// temporary file (a Windows pipe cannot be waited on with a time limit).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "helpers.h"

namespace velkin_test {

SocketPair socket_pair(int) {
    auto listener = net::TcpListener::bind("127.0.0.1", 0);
    if (!listener) {
        ADD_FAILURE() << "loopback listener: " << listener.error().message;
        return SocketPair{net::TcpStream(net::sys::kInvalidSocket),
                          net::TcpStream(net::sys::kInvalidSocket)};
    }
    auto client = net::TcpStream::connect("127.0.0.1", listener->port());
    auto server = client ? listener->accept() : std::unexpected(client.error());
    if (!client || !server) {
        ADD_FAILURE() << "loopback pair: " << (client ? server.error() : client.error()).message;
        return SocketPair{net::TcpStream(net::sys::kInvalidSocket),
                          net::TcpStream(net::sys::kInvalidSocket)};
    }
    (void)server->set_nodelay(true);
    (void)client->set_nodelay(true);
    return SocketPair{std::move(*server), std::move(*client)};
}

bool wait_readable(net::TcpStream& stream, std::chrono::milliseconds limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(stream.native_handle(), &readable);
    timeval tv{static_cast<long>(limit.count() / 1000),
               static_cast<long>(limit.count() % 1000 * 1000)};
    return ::select(0, &readable, nullptr, nullptr, &tv) > 0;
}

namespace {

std::string capture_path() {
    return testing::TempDir() + "stderr-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(reinterpret_cast<std::uintptr_t>(&capture_path)) + ".txt";
}

}  // namespace

StderrCapture::StderrCapture() {
    const std::string path = capture_path();
    const int write_end =
        ::_open(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    read_end_ = ::_open(path.c_str(), _O_RDONLY | _O_BINARY);
    if (write_end < 0 || read_end_ < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return;
    }
    std::fflush(stderr);
    saved_ = ::_dup(2);
    ::_dup2(write_end, 2);
    ::_close(write_end);
}

StderrCapture::~StderrCapture() {
    if (saved_ >= 0) {
        std::fflush(stderr);
        ::_dup2(saved_, 2);
        ::_close(saved_);
    }
    if (read_end_ >= 0) {
        ::_close(read_end_);
        std::remove(capture_path().c_str());
    }
}

bool StderrCapture::wait_for(std::string_view text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (captured_.find(text) == std::string::npos) {
        if (read_end_ < 0 || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::fflush(stderr);
        // ReadFile rather than _read: the C runtime marks the descriptor at end of file after
        // a read of nothing and answers every later _read with 0 (msvcrt, also Wine's), so a
        // line written after the first empty read would never be seen. ReadFile reads on from
        // the file position each time.
        char buffer[4096];
        DWORD n = 0;
        const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(read_end_));
        if (::ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            captured_.append(buffer, n);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return true;
}

}  // namespace velkin_test
