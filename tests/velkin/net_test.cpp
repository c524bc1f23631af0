// The socket layer: listeners, streams, time-outs and their failures.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

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
    // What a bounded read takes for running out, and reads on after (see BoundedReads).
    EXPECT_TRUE(net::sys::timed_out(timed_out.error().code));
    EXPECT_TRUE(net::sys::kReceiveUnderTimeout);

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

// A bounded read (read_within, read_until): what came, the end as 0, and nullopt (not an
// error) when nothing came in time, after the bound and not the stream's own read time-out,
// shorter or longer. A read that ran out leaves the stream to read on.
TEST(TcpStream, BoundedReads) {
    using Read = std::function<net::IoResult<std::optional<std::size_t>>(net::TcpStream&,
                                                                         std::span<uint8_t>)>;
    const std::pair<const char*, Read> reads[] = {
        {"read_within",
         [](net::TcpStream& s, std::span<uint8_t> b) { return s.read_within(b, 100ms); }},
        {"read_until",
         [](net::TcpStream& s, std::span<uint8_t> b) {
             return s.read_until(b, std::chrono::steady_clock::now() + 100ms, 25ms);
         }},
    };
    struct Case {
        const char* name;
        std::string sent;
        bool end;                                               // the peer shuts its side
        std::optional<std::chrono::milliseconds> read_timeout;  // the stream's own
        std::optional<std::string> read;                        // nullopt: ran out
    };
    const Case cases[] = {
        {"bytes waiting", "ab", false, std::nullopt, "ab"},
        {"the end", "", true, std::nullopt, ""},
        {"bytes, then the end", "ab", true, 3000ms, "ab"},
        {"nothing, no read time-out", "", false, std::nullopt, std::nullopt},
        {"nothing, a longer read time-out", "", false, 3000ms, std::nullopt},
        {"nothing, a shorter read time-out", "", false, 10ms, std::nullopt},
    };
    for (const auto& [read_name, read] : reads) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(read_name) + ": " + c.name);
            auto pair = socket_pair();
            if (c.read_timeout) {
                ASSERT_TRUE(pair.server.set_read_timeout(c.read_timeout));
            }
            send_all(pair.client, c.sent);
            if (c.end) {
                ASSERT_TRUE(pair.client.shutdown(SHUT_WR));
            }
            std::array<uint8_t, 16> buffer{};
            const auto started = std::chrono::steady_clock::now();
            const auto got = read(pair.server, buffer);
            const auto waited = std::chrono::steady_clock::now() - started;
            ASSERT_TRUE(got) << got.error().message;
            if (!c.read) {
                EXPECT_FALSE(*got);
                EXPECT_GE(waited, 90ms);  // a timer tick early at most
                EXPECT_LT(waited, 2s);
                // Not spent: what comes next is read.
                send_all(pair.client, "c");
                const auto next = pair.server.read_within(buffer, 3000ms);
                ASSERT_TRUE(next && *next);
                EXPECT_EQ(text(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(**next))),
                          "c");
                continue;
            }
            ASSERT_TRUE(*got);
            EXPECT_EQ(text(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(**got))),
                      *c.read);
            EXPECT_LT(waited, 2s);
        }
    }
}

// A signal that interrupts a bounded read (a handler without SA_RESTART, as a receive
// time-out makes of any) is no failure: the read goes on, and still ends by its bound.
TEST(TcpStream, AnInterruptedBoundedReadGoesOn) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &before), 0);
    struct Case {
        const char* name;
        std::function<net::IoResult<std::optional<std::size_t>>(net::TcpStream&,
                                                                std::span<uint8_t>)>
            read;
        std::chrono::milliseconds at_least, below;
    };
    const Case cases[] = {
        // Interrupted after 300 ms, it waits its whole 600 ms again.
        {"read_within",
         [](net::TcpStream& s, std::span<uint8_t> b) { return s.read_within(b, 600ms); }, 890ms,
         3s},
        // The deadline stays where it was.
        {"read_until",
         [](net::TcpStream& s, std::span<uint8_t> b) {
             return s.read_until(b, std::chrono::steady_clock::now() + 600ms, 25ms);
         },
         590ms, 850ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto pair = socket_pair();
        std::atomic<bool> reading{false};
        const pthread_t reader = ::pthread_self();
        std::thread interrupter([&] {
            while (!reading) std::this_thread::yield();
            std::this_thread::sleep_for(300ms);
            ::pthread_kill(reader, SIGUSR1);
        });
        std::array<uint8_t, 4> buffer{};
        const auto started = std::chrono::steady_clock::now();
        reading = true;
        const auto got = c.read(pair.server, buffer);
        const auto waited = std::chrono::steady_clock::now() - started;
        interrupter.join();
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_FALSE(*got);
        EXPECT_GE(waited, c.at_least);
        EXPECT_LT(waited, c.below);
    }
    ASSERT_EQ(::sigaction(SIGUSR1, &before, nullptr), 0);
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
