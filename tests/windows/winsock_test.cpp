// The Windows side of the seams: Winsock codes and texts, the port claimed exclusively, the
// program's own path.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <thread>

#include "helpers.h"
#include "platform/process.h"

namespace velkin_test {
namespace {

using testing::HasSubstr;

TEST(Winsock, ReadTimeOutAndEndOfStream) {
    auto pair = socket_pair();
    ASSERT_TRUE(pair.server.set_read_timeout(std::chrono::milliseconds(50)));
    uint8_t byte = 0;
    const auto started = std::chrono::steady_clock::now();
    const auto timed_out = pair.server.read(std::span(&byte, 1));
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(timed_out.error().code, WSAETIMEDOUT);
    EXPECT_THAT(timed_out.error().message, HasSubstr("(os error 10060)"));
    // Milliseconds, not seconds: a time-out taken as 50 s would hold the read far longer.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    EXPECT_FALSE(pair.server.set_read_timeout(std::chrono::milliseconds(0)));
    ASSERT_TRUE(pair.server.set_read_timeout(std::nullopt));
    send_all(pair.client, "ab");
    ASSERT_TRUE(pair.client.shutdown(SHUT_WR));
    uint8_t three[3];
    const auto short_read = pair.server.read_exact(three);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error().code, 0);
    const auto at_end = pair.server.read(three);
    ASSERT_TRUE(at_end);
    EXPECT_EQ(*at_end, 0u);
}

// Winsock leaves a socket whose receive timed out indeterminate: a bounded read waits for
// readiness instead, and a read that ran out leaves the socket to read on.
TEST(Winsock, ABoundedReadWaitsForReadinessAndLeavesTheSocketUsable) {
    EXPECT_FALSE(net::sys::kReceiveUnderTimeout);
    EXPECT_TRUE(net::sys::timed_out(WSAETIMEDOUT));
    auto pair = socket_pair();
    ASSERT_TRUE(pair.server.set_read_timeout(std::chrono::milliseconds(3000)));
    std::array<uint8_t, 4> buffer{};
    const auto started = std::chrono::steady_clock::now();
    const auto ran_out = pair.server.read_within(buffer, 50ms);
    ASSERT_TRUE(ran_out) << ran_out.error().message;
    EXPECT_FALSE(*ran_out);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    const auto deadline =
        pair.server.read_until(buffer, std::chrono::steady_clock::now() + 50ms, 10ms);
    ASSERT_TRUE(deadline) << deadline.error().message;
    EXPECT_FALSE(*deadline);
    send_all(pair.client, "ab");
    const auto read = pair.server.read_within(buffer, 3000ms);
    ASSERT_TRUE(read && *read);
    EXPECT_EQ(**read, 2u);
    EXPECT_EQ(buffer[1], 'b');
}

TEST(Winsock, WritingToAPeerThatHasGoneFails) {
    auto pair = socket_pair();
    pair.client = net::TcpStream(net::sys::kInvalidSocket);  // closes the peer
    // The first sends may still be taken before the reset arrives; one must fail soon after.
    const Bytes chunk(4096, 'x');
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    net::IoResult<void> written;
    while ((written = pair.server.write_all(chunk)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(written);
    EXPECT_NE(written.error().code, 0);
}

// The probe a status-change wait makes between its slices: bytes waiting are no hang-up, and no
// byte is taken by asking; the peer's close is seen without a read.
TEST(Winsock, PeerClosedIsSeenWithoutTakingBytes) {
    auto pair = socket_pair();
    const auto server = pair.server.native_handle();
    EXPECT_FALSE(net::sys::peer_closed(server));
    send_all(pair.client, "ab");
    ASSERT_TRUE(wait_readable(pair.server, 5000ms));
    EXPECT_FALSE(net::sys::peer_closed(server));
    uint8_t two[2];
    ASSERT_TRUE(pair.server.read_exact(two));  // both bytes still there
    EXPECT_EQ(two[1], 'b');

    pair.client = net::TcpStream(net::sys::kInvalidSocket);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!net::sys::peer_closed(server) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(net::sys::peer_closed(server));
}

TEST(Winsock, ConnectionsRefusedAndPortsTakenAreErrors) {
    auto taken = net::TcpListener::bind("127.0.0.1", 0);
    ASSERT_TRUE(taken);
    const uint16_t port = taken->port();
    // A second listener must not share the port (SO_REUSEADDR on Windows would allow it).
    const auto second = net::TcpListener::bind("127.0.0.1", port);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().code, WSAEADDRINUSE);

    taken = net::TcpListener::bind("127.0.0.1", 0);  // the first one is closed now
    const auto refused = net::TcpStream::connect("127.0.0.1", port);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, WSAECONNREFUSED);
    EXPECT_THAT(refused.error().message, HasSubstr("(os error 10061)"));
}

TEST(Winsock, AFailingAcceptIsReportedAndTheLoopGoesOn) {
    const auto fd = net::sys::open_tcp();
    ASSERT_NE(fd, net::sys::kInvalidSocket);
    net::TcpListener listener(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);  // no listen

    testing::internal::CaptureStdout();
    http::HttpServer server;
    std::thread loop([&] { server.start(listener); });
    std::this_thread::sleep_for(300ms);
    server.stop();
    loop.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("couldn't get client: "));
    EXPECT_THAT(out, HasSubstr("(os error 10022)\n"));
}

TEST(ProcessSeam, ExecutablePathIsTheModuleFileNotTheStartName) {
    const auto path = kx_agent::platform::executable_path("velkin_tests");
    EXPECT_TRUE(path.is_absolute()) << kx_agent::platform::display_path(path);
    EXPECT_EQ(path.filename(), std::filesystem::path("velkin_tests.exe"));
    EXPECT_TRUE(std::filesystem::is_regular_file(path));

    // Names outside the ANSI code page come out as UTF-8.
    EXPECT_EQ(kx_agent::platform::display_path(std::filesystem::path(L"C:\\caf\u00E9\\\u03A9.exe")),
              "C:\\caf\xC3\xA9\\\xCE\xA9.exe");
}

}  // namespace
}  // namespace velkin_test
