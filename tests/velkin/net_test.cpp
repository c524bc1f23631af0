// The socket layer: listeners, streams, time-outs and their failures.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "helpers.h"

namespace velkin_test {
namespace {

TEST(TcpListener, BindsAnEphemeralLoopbackPort) {
    auto listener = net::TcpListener::bind("127.0.0.1", 0);
    ASSERT_TRUE(listener) << listener.error().message;
    const auto address = listener->local_addr();
    ASSERT_TRUE(address);
    EXPECT_EQ(ntohl(address->sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_NE(listener->port(), 0);
    EXPECT_EQ(ntohs(address->sin_port), listener->port());

    auto client = net::TcpStream::connect("127.0.0.1", listener->port());
    ASSERT_TRUE(client);
    auto accepted = listener->accept();
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->set_nodelay(true));
    send_all(*client, "ping");
    EXPECT_EQ(text(read_n(*accepted, 4)), "ping");
}

TEST(TcpListener, Failures) {
    const auto bad_address = net::TcpListener::bind("127.0.0.256", 0);
    ASSERT_FALSE(bad_address);
    EXPECT_EQ(bad_address.error().message, "invalid IPv4 address: 127.0.0.256");

    auto taken = net::TcpListener::bind("127.0.0.1", 0);
    ASSERT_TRUE(taken);
    const auto again = net::TcpListener::bind("127.0.0.1", taken->port());
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, EADDRINUSE);

    const uint16_t port = taken->port();
    taken = net::TcpListener::bind("127.0.0.1", 0);  // the first one is closed now
    const auto refused = net::TcpStream::connect("127.0.0.1", port);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ECONNREFUSED);
}

TEST(TcpStream, ReadTimeOutAndEndOfStream) {
    auto pair = socket_pair();
    ASSERT_TRUE(pair.server.set_read_timeout(std::chrono::milliseconds(50)));
    uint8_t byte = 0;
    const auto timed_out = pair.server.read(std::span(&byte, 1));
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(timed_out.error().code, EAGAIN);
    EXPECT_THAT(timed_out.error().message, testing::HasSubstr("(os error 11)"));

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

// A server that ends a connection with client bytes still unread must not lose its last answer
// to the reset such a close sends; a client that never stops sending holds it only for a while.
TEST(TcpStream, ALingeringShutdownKeepsTheLastAnswer) {
    auto listener = net::TcpListener::bind("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    auto client = net::TcpStream::connect("127.0.0.1", listener->port());
    ASSERT_TRUE(client);
    auto accepted = listener->accept();
    ASSERT_TRUE(accepted);
    send_all(*client, Bytes(20000, 'x'));  // never read by the server
    send_all(*accepted, "last words");
    const auto started = std::chrono::steady_clock::now();
    std::thread closer([&] {
        accepted->shutdown_lingering(10s, 1 << 20);
        *accepted = net::TcpStream(-1);  // closes
    });
    EXPECT_EQ(text(read_until_close(*client)), "last words");
    ASSERT_TRUE(client->shutdown(SHUT_WR));
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);  // ended by the client's close

    // A peer that keeps the connection open is let go when the time is up.
    auto stubborn = net::TcpStream::connect("127.0.0.1", listener->port());
    ASSERT_TRUE(stubborn);
    auto held = listener->accept();
    ASSERT_TRUE(held);
    const auto held_at = std::chrono::steady_clock::now();
    held->shutdown_lingering(200ms, 1 << 20);
    const auto waited = std::chrono::steady_clock::now() - held_at;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 2s);
}

TEST(HandleConnection, EndsWhenTheReadTimeOutCannotBeSet) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);  // not a socket: SO_RCVTIMEO is refused
    ::close(fds[1]);
    StderrCapture err;
    http::handle_connection(net::TcpStream(fds[0]), std::make_shared<http::HandlerManager>());
    EXPECT_TRUE(
        err.wait_for("set_read_timeout failed: Socket operation on non-socket (os error 88)\n"));
    EXPECT_EQ(err.captured(),
              "set_read_timeout failed: Socket operation on non-socket (os error 88)\n");
}

}  // namespace
}  // namespace velkin_test
