// What the agent releases when a web client goes away, and how a wait notices that it has gone.
#include "smartcard/pcsc/connection_scope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "agent_limits.h"
#include "fake_pcsc.h"

namespace kx_agent::test {
namespace {

using namespace std::chrono_literals;
using smartcard::ConnectionScope;
using smartcard::ContextGuard;

constexpr auto kNoGrace = 0ms;

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

// A service that hands out a new context value each time, as pcscd does.
class ManyContexts : public FakePcsc {
public:
    LONG establish_context(DWORD scope, SCARDCONTEXT* out) override {
        LONG result = FakePcsc::establish_context(scope, out);
        *out = next_++;
        return result;
    }

private:
    std::atomic<SCARDCONTEXT> next_{0x1000};
};

// The relay's word on whether the client has gone.
struct Peer {
    std::atomic<bool> gone{false};
    std::function<bool()> closed() {
        return [this] { return gone.load(); };
    }
    void hang_up() { gone = true; }
};

template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = 3s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return done();
}

// One thread tells another that a step is done.
class Handoff {
public:
    void signal() { promise_.set_value(); }
    void wait() { future_.wait(); }

private:
    std::promise<void> promise_;
    std::future<void> future_ = promise_.get_future();
};

// `pcsc`: a connection's calls (ConnectionScope::pcsc, or one Call), or the guard itself.
SCARDCONTEXT establish(smartcard::Pcsc& pcsc) {
    SCARDCONTEXT context = 0;
    EXPECT_EQ(pcsc.establish_context(SCARD_SCOPE_SYSTEM, &context), SCARD_S_SUCCESS);
    return context;
}

SCARDHANDLE connect_card(smartcard::Pcsc& guard, FakePcsc& fake, SCARDCONTEXT context,
                         SCARDHANDLE card, const char* reader = "Reader A") {
    fake.card = card;
    SCARDHANDLE out = 0;
    DWORD protocol = 0;
    EXPECT_EQ(
        guard.connect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &out, &protocol),
        SCARD_S_SUCCESS);
    return out;
}

// The card handles whose transaction the guard ended, in order.
std::vector<SCARDHANDLE> ended_transactions(const FakePcsc& fake) {
    std::vector<SCARDHANDLE> cards;
    for (const auto& call : fake.calls)
        if (call.function == "end_transaction")
            cards.push_back(static_cast<SCARDHANDLE>(call.target));
    return cards;
}

TEST(ContextGuard, ReleasesWhatAClosedConnectionLeftBehind) {
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, kNoGrace);
    {
        ConnectionScope connection(guard);
        SCARDCONTEXT context = establish(connection.pcsc());
        SCARDHANDLE card = connect_card(connection.pcsc(), fake, context, 0x100);
        EXPECT_EQ(connection.pcsc().begin_transaction(card), SCARD_S_SUCCESS);
        EXPECT_EQ(connection.pcsc().cancel(context), SCARD_S_SUCCESS);
        EXPECT_EQ(guard.known_contexts(), 1u);
        EXPECT_EQ(guard.known_cards(), 1u);
        EXPECT_EQ(guard.cancel_marks(), 1u);
        EXPECT_EQ(guard.bounded_cards(), 1u);
        testing::internal::CaptureStdout();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Connection closed: released 1 PC/SC context it left behind.\n");
    EXPECT_EQ(guard.known_contexts(), 0u);
    // The handle, its transaction, the mark and the places counted went with the context.
    EXPECT_EQ(guard.known_cards(), 0u);
    EXPECT_EQ(guard.cancel_marks(), 0u);
    EXPECT_EQ(guard.bounded_contexts(), 0u);
    EXPECT_EQ(guard.bounded_cards(), 0u);
    EXPECT_EQ(ended_transactions(fake), std::vector<SCARDHANDLE>{0x100});
    ASSERT_EQ(fake.count("cancel"), 2u);  // the client's, and the release's
    ASSERT_EQ(fake.count("release_context"), 1u);
    EXPECT_EQ(fake.last("release_context")->target, fake.context);
}

TEST(ContextGuard, AContextUsedByALiveConnectionSurvives) {
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, kNoGrace);
    auto maker = std::make_unique<ConnectionScope>(guard);
    SCARDCONTEXT context = establish(maker->pcsc());
    // The maker goes away while the user, on a thread of its own, still has the context.
    Handoff used, maker_gone;
    std::thread user_thread([&] {
        ConnectionScope user(guard);
        user.pcsc().is_valid_context(context);
        used.signal();
        maker_gone.wait();
        EXPECT_EQ(fake.count("release_context"), 0u);
        EXPECT_EQ(user.pcsc().is_valid_context(context), SCARD_S_SUCCESS);
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
    ContextGuard guard(fake, 500ms, kNoGrace);
    auto maker = std::make_unique<ConnectionScope>(guard);
    SCARDCONTEXT context = establish(maker->pcsc());
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    maker->pcsc().connect(context, "Reader A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                          &protocol);
    Handoff used, maker_gone;
    std::thread user_thread([&] {
        ConnectionScope user(guard);
        BYTE response[2];
        DWORD length = sizeof response;
        user.pcsc().transmit(card, SCARD_PCI_T1, response, 2, nullptr, response, &length);
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
    ContextGuard guard(fake, 500ms, kNoGrace);
    auto maker = std::make_unique<ConnectionScope>(guard);
    SCARDCONTEXT context = establish(maker->pcsc());
    std::thread([&] {
        ConnectionScope other(guard);
        other.pcsc().release_context(context);
    }).join();
    maker.reset();
    EXPECT_EQ(fake.count("release_context"), 1u);  // the client's own release only
    EXPECT_EQ(fake.count("cancel"), 0u);
}

TEST(ContextGuard, CallsOutsideAConnectionAreNotTracked) {
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, kNoGrace);
    establish(guard);
    EXPECT_EQ(guard.known_contexts(), 0u);
}

TEST(ContextGuard, AConnectionHoldsNoMoreContextsThanItsShare) {
    ManyContexts fake;
    ContextGuard guard(fake, 500ms, kNoGrace);
    ConnectionScope connection(guard);
    const std::size_t share = limits().contexts_per_connection;
    for (std::size_t i = 0; i < share; ++i) establish(connection.pcsc());
    SCARDCONTEXT refused = 0;
    EXPECT_EQ(connection.pcsc().establish_context(SCARD_SCOPE_SYSTEM, &refused), SCARD_E_NO_MEMORY);
    // Refused before the service was asked: it holds no context for the refusal.
    EXPECT_EQ(fake.count("establish_context"), share);
    EXPECT_EQ(guard.known_contexts(), share);
    // Another connection has a share of its own.
    std::thread([&] {
        ConnectionScope other(guard);
        EXPECT_NE(establish(other.pcsc()), 0u);
    }).join();
}

TEST(ContextGuard, AClosedConnectionsTransactionsEndAtOnce) {
    // The grace keeps contexts and handles for a reloaded page, not the card's lock; a handle a
    // live connection has used keeps its transaction.
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, 10s);
    auto page = std::make_unique<ConnectionScope>(guard);
    SCARDCONTEXT context = establish(page->pcsc());
    SCARDHANDLE alone = connect_card(page->pcsc(), fake, context, 0x100);
    SCARDHANDLE shared = connect_card(page->pcsc(), fake, context, 0x200, "Reader B");
    SCARDHANDLE idle = connect_card(page->pcsc(), fake, context, 0x300, "Reader C");
    for (SCARDHANDLE card : {alone, shared})
        EXPECT_EQ(page->pcsc().begin_transaction(card), SCARD_S_SUCCESS);
    Handoff used, page_gone;
    std::thread other([&] {
        ConnectionScope user(guard);
        BYTE response[2];
        DWORD length = sizeof response;
        user.pcsc().transmit(shared, SCARD_PCI_T1, response, 2, nullptr, response, &length);
        used.signal();
        page_gone.wait();
    });
    used.wait();
    page.reset();
    EXPECT_EQ(ended_transactions(fake), std::vector<SCARDHANDLE>{alone});
    EXPECT_EQ(fake.count("release_context"), 0u);
    EXPECT_EQ(fake.count("disconnect"), 0u);
    EXPECT_NE(idle, 0u);
    page_gone.signal();
    other.join();
    // Its last user gone, the shared handle's transaction ends too.
    EXPECT_EQ(ended_transactions(fake), (std::vector<SCARDHANDLE>{alone, shared}));
}

TEST(ContextGuard, ACallThatWouldWaitForItsOwnConnectionsTransactionEndsItFirst) {
    // pcsc-lite holds a call on the card while another handle holds a transaction there. The
    // connection's own transaction can end only by a call the connection cannot make meanwhile:
    // in strict order none is read, side by side a call on the same context waits behind it.
    struct Row {
        bool side_by_side;
        bool same_context;
        bool ended;
    };
    for (const Row& row : {Row{false, false, true}, Row{false, true, true}, Row{true, true, true},
                           Row{true, false, false}}) {
        SCOPED_TRACE(testing::Message() << "side by side " << row.side_by_side << ", same context "
                                        << row.same_context);
        ManyContexts fake;
        ContextGuard guard(fake, 500ms, kNoGrace);
        ConnectionScope connection(guard);
        connection.set_side_by_side(row.side_by_side);
        SCARDCONTEXT a = establish(connection.pcsc());
        SCARDCONTEXT b = row.same_context ? a : establish(connection.pcsc());
        SCARDHANDLE locked = connect_card(connection.pcsc(), fake, a, 0x100);
        SCARDHANDLE other = connect_card(connection.pcsc(), fake, b, 0x200);
        EXPECT_EQ(connection.pcsc().begin_transaction(locked), SCARD_S_SUCCESS);
        // The call on its own handle, and a call on another reader, wait for nothing.
        DWORD state = 0, protocol = 0, names = 0, atr = 0;
        connection.pcsc().status(locked, nullptr, &names, &state, &protocol, nullptr, &atr);
        connect_card(connection.pcsc(), fake, b, 0x300, "Reader B");
        EXPECT_EQ(fake.count("end_transaction"), 0u);

        connect_card(connection.pcsc(), fake, b, 0x400);
        connection.pcsc().status(other, nullptr, &names, &state, &protocol, nullptr, &atr);
        EXPECT_EQ(ended_transactions(fake),
                  row.ended ? std::vector<SCARDHANDLE>{locked} : std::vector<SCARDHANDLE>{});
    }
}

TEST(ContextGuardWait, EndsWithinASliceWhenThePeerHangsUp) {
    IdleReaders fake;
    ContextGuard guard(fake, 20ms, kNoGrace);
    Peer peer;
    LONG result = 0;
    auto started = std::chrono::steady_clock::now();
    std::thread waiter([&] {
        ConnectionScope connection(guard, peer.closed());
        SCARDCONTEXT context = establish(connection.pcsc());
        SCARD_READERSTATE state{};
        state.szReader = "Reader A";
        result = connection.pcsc().get_status_change(context, INFINITE, &state, 1);
    });
    std::this_thread::sleep_for(100ms);
    peer.hang_up();
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
    ContextGuard guard(fake, 20ms, kNoGrace);
    Peer peer;
    ConnectionScope connection(guard, peer.closed());
    SCARDCONTEXT context = establish(connection.pcsc());
    SCARD_READERSTATE state{};
    state.szReader = "Reader A";

    EXPECT_EQ(connection.pcsc().get_status_change(context, 0, &state, 1), SCARD_E_TIMEOUT);
    EXPECT_EQ(fake.count("get_status_change"), 1u);
    EXPECT_EQ(fake.last("get_status_change")->args[0], 0u);  // asked once, at once

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(connection.pcsc().get_status_change(context, 110, &state, 1), SCARD_E_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 110ms);
    EXPECT_LT(took, 5s);  // milliseconds, not seconds; wide for sanitized builds
    EXPECT_GT(fake.count("get_status_change"), 3u);  // in slices

    // A wait that PC/SC ends (a card event, a cancel inside a slice) ends at once.
    FakePcsc eventful;
    ContextGuard direct(eventful, 20ms, kNoGrace);
    ConnectionScope inner(direct, peer.closed());
    EXPECT_EQ(inner.pcsc().get_status_change(context, INFINITE, &state, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(eventful.count("get_status_change"), 1u);
}

TEST(ContextGuardWait, ACancelBetweenSlicesStillEndsTheWait) {
    // A fake whose waits return at once: a cancel almost always lands between two slices. pcscd
    // answers such a cancel, which finds no wait registered, SCARD_E_INVALID_HANDLE.
    for (LONG answer : {SCARD_S_SUCCESS, SCARD_E_INVALID_HANDLE}) {
        SCOPED_TRACE(answer == SCARD_S_SUCCESS ? "SCARD_S_SUCCESS" : "SCARD_E_INVALID_HANDLE");
        class Spinning : public FakePcsc {
        public:
            explicit Spinning(LONG answer) : answer_(answer) {}
            LONG get_status_change(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD) override {
                std::this_thread::sleep_for(1ms);
                return SCARD_E_TIMEOUT;
            }
            LONG cancel(SCARDCONTEXT) override { return answer_; }

        private:
            LONG answer_;
        } fake(answer);
        ContextGuard guard(fake, 20ms, kNoGrace);
        Peer peer;
        SCARDCONTEXT context = 0;
        std::atomic<bool> established{false}, ended{false};
        LONG result = 0;
        std::thread waiter([&] {
            ConnectionScope connection(guard, peer.closed());
            context = establish(connection.pcsc());
            established = true;
            SCARD_READERSTATE state{};
            state.szReader = "Reader A";
            result = connection.pcsc().get_status_change(context, INFINITE, &state, 1);
            ended = true;
        });
        while (!established) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(30ms);
        {
            ConnectionScope other(guard);
            other.pcsc().cancel(context);
        }
        EXPECT_TRUE(eventually([&] { return ended.load(); }));
        peer.hang_up();  // a wait the cancel missed ends here, and the test with it
        waiter.join();
        EXPECT_EQ(result, SCARD_E_CANCELLED);
    }
}

TEST(ContextGuardWait, ACancelEndsTheWaitsQueuedBeforeIt) {
    IdleReaders fake;
    ContextGuard guard(fake, 20ms, kNoGrace);
    ConnectionScope connection(guard);
    SCARDCONTEXT context = establish(connection.pcsc());
    const uint64_t before = ConnectionScope::arrive();
    {
        ConnectionScope::Call cancel(connection, ConnectionScope::arrive());
        cancel.cancel(context);
    }
    const uint64_t after = ConnectionScope::arrive();
    SCARD_READERSTATE state{};
    state.szReader = "Reader A";
    for (DWORD timeout : {DWORD{0}, DWORD{50}, DWORD{INFINITE}}) {
        ConnectionScope::Call queued(connection, before);
        EXPECT_EQ(queued.get_status_change(context, timeout, &state, 1), SCARD_E_CANCELLED);
    }
    EXPECT_EQ(fake.count("get_status_change"), 0u);  // answered without waiting
    ConnectionScope::Call later(connection, after);
    EXPECT_EQ(later.get_status_change(context, 50, &state, 1), SCARD_E_TIMEOUT);

    // A mark lives as long as its context, and a context the record does not hold gets none.
    EXPECT_EQ(guard.cancel_marks(), 1u);
    connection.pcsc().release_context(context);
    EXPECT_EQ(guard.cancel_marks(), 0u);
    fake.results["cancel"] = SCARD_E_INVALID_HANDLE;
    EXPECT_EQ(connection.pcsc().cancel(0x5EED), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(guard.cancel_marks(), 0u);
}

TEST(ContextGuardGrace, AClosedConnectionsContextsGoOnlyAfterTheGrace) {
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, 150ms);
    auto started = std::chrono::steady_clock::now();
    {
        ConnectionScope connection(guard);
        establish(connection.pcsc());
    }
    EXPECT_EQ(guard.held_contexts(), 1u);
    EXPECT_EQ(fake.count("release_context"), 0u);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(eventually([&] { return fake.count("release_context") == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
    EXPECT_TRUE(eventually([&] { return guard.known_contexts() == 0; }));
    EXPECT_EQ(guard.held_contexts(), 0u);
    EXPECT_EQ(fake.count("cancel"), 1u);
    std::this_thread::sleep_for(20ms);  // the line follows the release
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Connection closed: released 1 PC/SC context it left behind.\n");
}

TEST(ContextGuardGrace, AReloadedClientKeepsItsContextsAndCards) {
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, 150ms);
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    {
        ConnectionScope before(guard);
        context = establish(before.pcsc());
        DWORD protocol = 0;
        before.pcsc().connect(context, "Reader A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                              &protocol);
    }
    EXPECT_EQ(guard.held_contexts(), 1u);
    {
        // The page comes back on a new connection and uses its card handle.
        ConnectionScope after(guard);
        BYTE response[2];
        DWORD length = sizeof response;
        EXPECT_EQ(
            after.pcsc().transmit(card, SCARD_PCI_T1, response, 2, nullptr, response, &length),
            SCARD_S_SUCCESS);
        EXPECT_EQ(guard.held_contexts(), 0u);
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(fake.count("release_context"), 0u);
        EXPECT_EQ(guard.known_contexts(), 1u);
    }
    // Nobody comes back after the second close.
    EXPECT_TRUE(eventually([&] { return fake.count("release_context") == 1; }));
    EXPECT_EQ(fake.last("release_context")->target, context);
}

TEST(ContextGuardGrace, AClientReloadedInALoopHoldsNoMoreThanTheBound) {
    ManyContexts fake;
    ContextGuard guard(fake, 500ms, 10s);
    const std::size_t held = std::min(ContextGuard::kMaxHeld, limits().contexts / 2);
    const std::size_t closed = held + 6;
    std::vector<SCARDCONTEXT> made;
    for (std::size_t i = 0; i < closed; ++i) {
        ConnectionScope connection(guard);
        made.push_back(establish(connection.pcsc()));
    }
    EXPECT_EQ(guard.held_contexts(), held);
    ASSERT_EQ(fake.count("release_context"), 6u);
    // The oldest went first.
    std::vector<SCARDCONTEXT> released;
    for (const auto& call : fake.calls)
        if (call.function == "release_context") released.push_back(call.target);
    EXPECT_EQ(released, std::vector<SCARDCONTEXT>(made.begin(), made.begin() + 6));
}

TEST(ContextGuardGrace, CallsOnAWorkerThreadBelongToTheirConnection) {
    FakePcsc fake;
    ContextGuard guard(fake, 500ms, kNoGrace);
    auto connection = std::make_unique<ConnectionScope>(guard);
    std::thread worker([&] {
        ConnectionScope::Call call(*connection);
        establish(call);
    });
    worker.join();
    EXPECT_EQ(guard.known_contexts(), 1u);
    connection.reset();
    EXPECT_EQ(fake.count("release_context"), 1u);
}

TEST(ContextGuardGrace, AnEndingConnectionEndsItsWaitsWithinASlice) {
    // A cancel meant for the wait may come before the wait has begun; the ending still ends it.
    IdleReaders fake;
    ContextGuard guard(fake, 20ms, kNoGrace);
    Peer peer;
    ConnectionScope connection(guard, peer.closed());
    SCARDCONTEXT context = establish(connection.pcsc());
    LONG result = 0;
    std::thread worker([&] {
        ConnectionScope::Call call(connection);
        SCARD_READERSTATE state{};
        state.szReader = "Reader A";
        result = call.get_status_change(context, INFINITE, &state, 1);
    });
    std::this_thread::sleep_for(60ms);
    auto ending = std::chrono::steady_clock::now();
    connection.end_calls();
    worker.join();
    EXPECT_EQ(result, SCARD_E_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - ending, 5s);
}

namespace agent_bounds {

// A fake that hands out a new card handle on each connect, as pcscd does.
class ManyCards : public ManyContexts {
public:
    LONG connect(SCARDCONTEXT c, const char* reader, DWORD share, DWORD protocols, SCARDHANDLE* out,
                 DWORD* protocol) override {
        LONG result = ManyContexts::connect(c, reader, share, protocols, out, protocol);
        *out = next_++;
        return result;
    }

private:
    std::atomic<SCARDHANDLE> next_{0x20000};
};

// The limits of one test, restored when it ends.
struct LimitsFor {
    explicit LimitsFor(Limits changed) : saved(limits()) { set_limits(changed); }
    ~LimitsFor() { set_limits(saved); }
    Limits saved;
};

LONG try_connect(smartcard::Pcsc& pcsc, SCARDCONTEXT context, SCARDHANDLE* card) {
    DWORD protocol = 0;
    return pcsc.connect(context, "Reader A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card,
                        &protocol);
}

// The bounds hold for all connections together, a
// refusal never reaches the service, and what is released (by a client, or by the guard for a
// closed connection) makes room again.
TEST(ContextGuardBounds, AllConnectionsTogetherHoldNoMoreThanTheAgentsBound) {
    Limits bounded = limits();
    bounded.contexts = 4;
    bounded.cards_per_context = 2;
    bounded.cards = 3;
    const LimitsFor scoped(bounded);
    ManyCards fake;
    ContextGuard guard(fake, 500ms, kNoGrace);
    testing::internal::CaptureStdout();  // the guard's and the bounds' lines
    ConnectionScope first(guard);
    const SCARDCONTEXT a = establish(first.pcsc()), b = establish(first.pcsc());
    std::thread([&] {
        ConnectionScope second(guard);
        establish(second.pcsc());
        establish(second.pcsc());
        SCARDCONTEXT refused = 0;
        EXPECT_EQ(second.pcsc().establish_context(SCARD_SCOPE_SYSTEM, &refused), SCARD_E_NO_MEMORY);
        EXPECT_EQ(refused, 0u);
        EXPECT_EQ(guard.bounded_contexts(), 4u);
    }).join();
    // The second connection's two went with it, through the layer.
    EXPECT_EQ(guard.bounded_contexts(), 2u);
    EXPECT_EQ(fake.count("establish_context"), 4u);

    SCARDHANDLE cards[4] = {};
    EXPECT_EQ(try_connect(first.pcsc(), a, &cards[0]), SCARD_S_SUCCESS);
    EXPECT_EQ(try_connect(first.pcsc(), a, &cards[1]), SCARD_S_SUCCESS);
    EXPECT_EQ(try_connect(first.pcsc(), a, &cards[2]), SCARD_E_NO_MEMORY);  // two on a context
    EXPECT_EQ(try_connect(first.pcsc(), b, &cards[2]), SCARD_S_SUCCESS);
    EXPECT_EQ(try_connect(first.pcsc(), b, &cards[3]), SCARD_E_NO_MEMORY);  // three in all
    EXPECT_EQ(fake.count("connect"), 3u);
    EXPECT_EQ(first.pcsc().disconnect(cards[0], SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(try_connect(first.pcsc(), b, &cards[3]), SCARD_S_SUCCESS);
    EXPECT_EQ(guard.bounded_cards(), 3u);
    // A released context takes its card handles with it, whatever the service answers.
    fake.results["release_context"] = SCARD_E_INVALID_HANDLE;
    first.pcsc().release_context(b);
    EXPECT_EQ(guard.bounded_contexts(), 1u);
    EXPECT_EQ(guard.bounded_cards(), 1u);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("PC/SC bound reached: 4 contexts"), std::string::npos) << said;
    EXPECT_NE(said.find("PC/SC bound reached: 3 card handles"), std::string::npos) << said;
}

}  // namespace agent_bounds

}  // namespace
}  // namespace kx_agent::test
