// What the agent releases when a web client goes away, and how a wait notices that it has gone.
#include "smartcard/context_guard.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "fake_pcsc.h"

namespace kx_agent::test {
namespace {

using namespace std::chrono_literals;
using smartcard::ConnectionScope;
using smartcard::ContextGuard;

// A fake whose waits take their whole time-out and time out, as an idle reader does.
class IdleReaders : public FakePcsc {
public:
    LONG get_status_change(SCARDCONTEXT c, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD n) override {
        FakePcsc::get_status_change(c, timeout, states, n);
        if (timeout != INFINITE) std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
        return SCARD_E_TIMEOUT;
    }
};

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    void hang_up_peer() {
        close(fds[1]);
        fds[1] = -1;
    }
};

// One thread tells another that a step is done.
class Handoff {
public:
    void signal() { promise_.set_value(); }
    void wait() { future_.wait(); }

private:
    std::promise<void> promise_;
    std::future<void> future_ = promise_.get_future();
};

SCARDCONTEXT establish(ContextGuard& guard) {
    SCARDCONTEXT context = 0;
    EXPECT_EQ(guard.establish_context(SCARD_SCOPE_SYSTEM, &context), SCARD_S_SUCCESS);
    return context;
}

TEST(ContextGuard, ReleasesWhatAClosedConnectionLeftBehind) {
    FakePcsc fake;
    ContextGuard guard(fake);
    {
        ConnectionScope connection(guard, -1);
        establish(guard);
        EXPECT_EQ(guard.known_contexts(), 1u);
        testing::internal::CaptureStdout();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Connection closed: released 1 PC/SC context it left behind.\n");
    EXPECT_EQ(guard.known_contexts(), 0u);
    ASSERT_EQ(fake.count("cancel"), 1u);
    ASSERT_EQ(fake.count("release_context"), 1u);
    EXPECT_EQ(fake.last("release_context")->target, fake.context);
}

TEST(ContextGuard, AContextUsedByALiveConnectionSurvives) {
    FakePcsc fake;
    ContextGuard guard(fake);
    auto maker = std::make_unique<ConnectionScope>(guard, -1);
    SCARDCONTEXT context = establish(guard);
    // A scope ends on the thread that made it, as a relay's does: the maker goes away on the
    // main thread while the user, on its own thread, still has the context.
    Handoff used, maker_gone;
    std::thread user_thread([&] {
        ConnectionScope user(guard, -1);
        guard.is_valid_context(context);
        used.signal();
        maker_gone.wait();
        EXPECT_EQ(fake.count("release_context"), 0u);
        EXPECT_EQ(guard.is_valid_context(context), SCARD_S_SUCCESS);
    });
    used.wait();
    maker.reset();
    maker_gone.signal();
    user_thread.join();
    // The user's close leaves the context without users.
    EXPECT_EQ(fake.count("release_context"), 1u);
}

TEST(ContextGuard, ACardHandleIsAUseOfItsContext) {
    FakePcsc fake;
    ContextGuard guard(fake);
    auto maker = std::make_unique<ConnectionScope>(guard, -1);
    SCARDCONTEXT context = establish(guard);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    guard.connect(context, "Reader A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol);
    Handoff used, maker_gone;
    std::thread user_thread([&] {
        ConnectionScope user(guard, -1);
        BYTE response[2];
        DWORD length = sizeof response;
        guard.transmit(card, SCARD_PCI_T1, response, 2, nullptr, response, &length);
        used.signal();
        maker_gone.wait();
        EXPECT_EQ(fake.count("release_context"), 0u);
    });
    used.wait();
    maker.reset();
    maker_gone.signal();
    user_thread.join();
    EXPECT_EQ(fake.count("release_context"), 1u);
}

TEST(ContextGuard, AReleaseOverAnyConnectionForgetsTheContext) {
    FakePcsc fake;
    ContextGuard guard(fake);
    auto maker = std::make_unique<ConnectionScope>(guard, -1);
    SCARDCONTEXT context = establish(guard);
    std::thread([&] {
        ConnectionScope other(guard, -1);
        guard.release_context(context);
    }).join();
    maker.reset();
    EXPECT_EQ(fake.count("release_context"), 1u);  // the client's own release only
    EXPECT_EQ(fake.count("cancel"), 0u);
}

TEST(ContextGuard, CallsOutsideAConnectionAreNotTracked) {
    FakePcsc fake;
    ContextGuard guard(fake);
    establish(guard);
    EXPECT_EQ(guard.known_contexts(), 0u);
}

TEST(ContextGuardWait, EndsWithinASliceWhenThePeerHangsUp) {
    IdleReaders fake;
    ContextGuard guard(fake, 20ms);
    SocketPair sockets;
    LONG result = 0;
    auto started = std::chrono::steady_clock::now();
    std::thread waiter([&] {
        ConnectionScope connection(guard, sockets.fds[0]);
        SCARDCONTEXT context = establish(guard);
        SCARD_READERSTATE state{};
        state.szReader = "Reader A";
        result = guard.get_status_change(context, INFINITE, &state, 1);
    });
    std::this_thread::sleep_for(100ms);
    sockets.hang_up_peer();
    waiter.join();
    EXPECT_EQ(result, SCARD_E_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(fake.count("release_context"), 1u);  // and its context is released
    // Every slice passed the client's reader states unchanged.
    for (const auto& call : fake.calls) {
        if (call.function == "get_status_change") {
            EXPECT_EQ(call.text, "Reader A");
        }
    }
}

TEST(ContextGuardWait, TimeOutsKeepTheirMeaning) {
    IdleReaders fake;
    ContextGuard guard(fake, 20ms);
    SocketPair sockets;
    ConnectionScope connection(guard, sockets.fds[0]);
    SCARDCONTEXT context = establish(guard);
    SCARD_READERSTATE state{};
    state.szReader = "Reader A";

    EXPECT_EQ(guard.get_status_change(context, 0, &state, 1), SCARD_E_TIMEOUT);
    EXPECT_EQ(fake.count("get_status_change"), 1u);
    EXPECT_EQ(fake.last("get_status_change")->args[0], 0u);  // asked once, at once

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(guard.get_status_change(context, 110, &state, 1), SCARD_E_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 110ms);
    EXPECT_LT(took, 1s);
    EXPECT_GT(fake.count("get_status_change"), 3u);  // in slices

    // A wait that PC/SC ends (a card event, a cancel inside a slice) ends at once.
    FakePcsc eventful;
    ContextGuard direct(eventful, 20ms);
    ConnectionScope inner(direct, sockets.fds[0]);
    EXPECT_EQ(direct.get_status_change(context, INFINITE, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(eventful.count("get_status_change"), 1u);
}

TEST(ContextGuardWait, ACancelBetweenSlicesStillEndsTheWait) {
    // A fake whose waits return at once: a cancel almost always lands between two slices.
    class Spinning : public FakePcsc {
    public:
        LONG get_status_change(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD) override {
            std::this_thread::sleep_for(1ms);
            return SCARD_E_TIMEOUT;
        }
        LONG cancel(SCARDCONTEXT) override { return SCARD_S_SUCCESS; }
    } fake;
    ContextGuard guard(fake, 20ms);
    SocketPair sockets;
    SCARDCONTEXT context = 0;
    std::atomic<bool> established{false};
    LONG result = 0;
    std::thread waiter([&] {
        ConnectionScope connection(guard, sockets.fds[0]);
        context = establish(guard);
        established = true;
        SCARD_READERSTATE state{};
        state.szReader = "Reader A";
        result = guard.get_status_change(context, INFINITE, &state, 1);
    });
    while (!established) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);
    {
        ConnectionScope other(guard, -1);
        guard.cancel(context);
    }
    waiter.join();
    EXPECT_EQ(result, SCARD_E_CANCELLED);
}

}  // namespace
}  // namespace kx_agent::test
