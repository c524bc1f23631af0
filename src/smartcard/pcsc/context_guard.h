#pragma once
// Keeps a closed web client from leaking PC/SC contexts, and from holding its thread in a wait
// after it has gone.
//
// pcscd serves a bounded number of contexts for the whole machine, and a context lives until it
// is released; a browser tab that is closed or loses its network never releases its own. The
// guard sits in front of the PC/SC service and remembers, for every context established over a
// relay connection, which live connections have made or used it (a card handle counts as a use
// of the context it was connected on). When a connection ends, each context that no other live
// connection has used is cancelled and released, and pcsc-lite drops its card handles.
//
// The release waits for a grace period: a bridge window that is reloaded comes back on a new
// connection with the contexts and card handles its page still holds, and a use from a live
// connection within the grace keeps them. So that a page reloaded in a loop cannot hold pcscd's
// few contexts, at most kMaxHeld contexts (and half the agent's bound, limits().contexts) wait
// out their grace; beyond that the oldest go at once.
//
// The grace keeps contexts and card handles, never transactions: pcsc-lite holds every other
// call on the card (Connect, Status, Transmit, BeginTransaction on any other handle, of any
// program) until a transaction ends, so the transactions of a closed connection are ended at
// once, unless a live connection has used that card handle. A connection that makes a call which
// would wait for a transaction of its own that it cannot end while the call waits (in strict
// order nothing is read meanwhile; side by side, a transaction on the call's own context is
// behind the call) has that transaction ended first, rather than waiting for ever.
//
// The calls of a connection reach the guard through a layer that names it
// (ConnectionScope::Call, one per call, built by the relay); calls made on the guard directly
// belong to no connection and pass through.
//
// Each call of a connection waits in slices (smartcard/pcsc/sliced_waits.h, a layer of the
// call's own above the guard): between slices the relay is asked whether the client has hung up
// (the callback it gives the connection's scope), so a wait whose client has gone ends within a
// slice. The guard keeps the cancel marks that layer shares, and forgets a context's mark with
// the context.
//
// At most limits().contexts_per_connection contexts are held by one connection; an establish
// beyond that is answered SCARD_E_NO_MEMORY and leaves no context in the service.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "smartcard/pcsc/pcsc.h"
#include "smartcard/pcsc/sliced_waits.h"

namespace kx_agent::smartcard {

class ContextGuard;

// One relay connection, for as long as it relays calls: its number, whether other calls of it
// may run while one waits, and whether its peer is still there. Its calls reach the guard
// through a `Call` layer, which names the connection and when the call arrived; calls that reach
// the guard any other way belong to no connection.
class ConnectionScope {
public:
    // `peer_closed`: whether the peer has closed or reset the connection (none: it never has).
    explicit ConnectionScope(ContextGuard& guard, std::function<bool()> peer_closed = {});
    // Forgets the connection as a user (ContextGuard::end_connection).
    ~ConnectionScope();
    ConnectionScope(const ConnectionScope&) = delete;
    ConnectionScope& operator=(const ConnectionScope&) = delete;

    // The layers over the guard through which one call of the connection reaches it: its
    // sliced waits, then what names the connection to the guard. `arrival`: when the call was
    // read (`arrive()`); 0 counts each of its PC/SC calls as arriving when it is made.
    class Call final : public ForwardingPcsc {
    public:
        explicit Call(ConnectionScope& scope, uint64_t arrival = 0);

        LONG establish_context(DWORD scope, SCARDCONTEXT* context) override;
        LONG release_context(SCARDCONTEXT context) override;
        LONG cancel(SCARDCONTEXT context) override;
        LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                               DWORD count) override;
        LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                     DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override;
        LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
        LONG begin_transaction(SCARDHANDLE card) override;
        LONG end_transaction(SCARDHANDLE card, DWORD disposition) override;

        ConnectionScope& scope() const { return scope_; }

    protected:
        void use_context(SCARDCONTEXT context) override;
        void use_card(SCARDHANDLE card) override;

    private:
        // Names the connection to the guard for the waits and cancels that pass the slices.
        class ToGuard final : public ForwardingPcsc {
        public:
            explicit ToGuard(Call& call);
            LONG cancel(SCARDCONTEXT context) override;
            LONG get_status_change(SCARDCONTEXT context, DWORD timeout,
                                   SCARD_READERSTATE* states, DWORD count) override;
            LONG release_context(SCARDCONTEXT context) override;

        private:
            Call& call_;
        };

        ContextGuard& guard_;
        ConnectionScope& scope_;
        ToGuard to_guard_{*this};
        SlicedWaits waits_;
    };

    // The next mark in the order in which calls arrive, over all connections.
    static uint64_t arrive();

    // Calls of this connection, each arriving when it is made.
    Pcsc& pcsc() { return calls_; }
    // True once the peer has closed or reset the connection, or the relay is ending it.
    bool peer_gone() const;
    // Cancels the calls running on `context`, as a client's Cancel does.
    void cancel(SCARDCONTEXT context);
    // The relay is ending the connection: waits still running on its behalf end at the next
    // slice, even when a cancel sent to end them came before they had started.
    void end_calls() { ending_ = true; }
    // Ends the transactions that this connection leaves on card handles no other live connection
    // has used, those on `busy` contexts (calls of the connection still run there) last: a call
    // that waits for one of the others then goes on, and the service takes the next.
    void end_transactions(std::span<const uint64_t> busy = {});
    // Whether other calls of the connection may run while one waits (replies in any order).
    void set_side_by_side(bool on) { side_by_side_ = on; }
    bool side_by_side() const { return side_by_side_; }
    // The connection's number, one count for the whole agent (its log lines use it too).
    uint64_t id() const { return id_; }

private:
    ContextGuard& guard_;
    std::function<bool()> peer_closed_;
    uint64_t id_;
    std::atomic<bool> ending_{false};
    std::atomic<bool> side_by_side_{false};
    Call calls_{*this};
};

class ContextGuard final : public ForwardingPcsc {
public:
    static constexpr std::size_t kMaxHeld = 64;

    // `grace`: how long the contexts of a closed connection wait for a live connection to use
    // them before they are released (0 releases them when the connection ends).
    static constexpr std::chrono::milliseconds kSlice{500};
    static constexpr std::chrono::milliseconds kGrace{30000};
    explicit ContextGuard(Pcsc& inner, std::chrono::milliseconds slice = kSlice,
                          std::chrono::milliseconds grace = kGrace);
    ~ContextGuard() override;
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;

    // Contexts currently remembered.
    std::size_t known_contexts() const;
    // Contexts of closed connections waiting out their grace.
    std::size_t held_contexts() const;
    // The slice of the connections' waits, and the cancel marks they share.
    std::chrono::milliseconds slice() const { return slice_; }
    CancelMarks& marks() { return marks_; }
    // Forgets `connection` as a user. Its transactions end at once (see end_transactions); the
    // contexts it leaves without users are cancelled and released once the grace has passed
    // with no live connection using them. Returns how many were released at once (all of them
    // with no grace; the oldest held beyond kMaxHeld).
    std::size_t end_connection(uint64_t connection);
    // Ends the transactions held on the card handles that `connection` has used and no other live
    // connection has; those on `busy` contexts last.
    void end_transactions(uint64_t connection, std::span<const uint64_t> busy = {});

    // Calls made on the guard itself belong to no connection: they pass to the service, and
    // what they make or end is forgotten, not remembered.
    using ForwardingPcsc::begin_transaction;
    using ForwardingPcsc::cancel;
    using ForwardingPcsc::connect;
    using ForwardingPcsc::establish_context;
    using ForwardingPcsc::get_status_change;
    LONG release_context(SCARDCONTEXT context) override;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
    LONG end_transaction(SCARDHANDLE card, DWORD disposition) override;

private:
    friend class ConnectionScope;
    // `caller`: the call of a connection (ConnectionScope::Call), or none.
    using Caller = const ConnectionScope::Call*;
    // Contexts: the bound per connection, what is established.
    LONG establish_context(Caller caller, DWORD scope, SCARDCONTEXT* context);
    // A connection's cancels and wait slices use their context on their way to PC/SC.
    LONG cancel(Caller caller, SCARDCONTEXT context);
    LONG get_status_change(Caller caller, SCARDCONTEXT context, DWORD timeout,
                           SCARD_READERSTATE* states, DWORD count);
    // Card handles and their transactions.
    LONG begin_transaction(Caller caller, SCARDHANDLE card);
    LONG end_transaction(Caller caller, SCARDHANDLE card, DWORD disposition);
    LONG connect(Caller caller, SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol);
    LONG disconnect(Caller caller, SCARDHANDLE card, DWORD disposition);
    // Every other call on a context is a use of it; every other call on a card handle, a use of
    // the handle that first ends the connection's transactions it would wait for.
    void use_card(Caller caller, SCARDHANDLE card);

    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::set<uint64_t> users;     // live connections that made or used the context
        std::optional<Clock::time_point> orphaned;  // when its last user closed, while held
        uint64_t last_user = 0;                      // that connection
    };
    struct Card {
        SCARDCONTEXT context = 0;
        std::string reader;
        std::set<uint64_t> users;  // live connections that connected or used the handle
        uint64_t transaction = 0;  // the connection whose transaction the handle holds; 0: none
    };
    // Contexts to release, with the connection that left them.
    using Orphans = std::vector<std::pair<uint64_t, SCARDCONTEXT>>;

    void note_context(Caller caller, SCARDCONTEXT context);
    void note_card(Caller caller, SCARDHANDLE card);
    // Before a call that waits while another handle holds a transaction on the card in `reader`
    // (`card`: the call's own handle, 0 for a connect): ends the calling connection's
    // transactions there that it could not end while the call waits.
    void end_own_transactions_before(Caller caller, SCARDCONTEXT context,
                                     const std::string& reader, SCARDHANDLE card);
    void end_own_transactions_before(Caller caller, SCARDHANDLE card);
    // Ends each transaction (PC/SC outside the lock) and forgets it.
    void end_transactions(const std::vector<SCARDHANDLE>& cards);
    // Under the lock: contexts `connection` uses.
    std::size_t contexts_of_locked(uint64_t connection) const;
    // Under the lock: held contexts whose grace has passed, forgotten.
    void take_expired_locked(Orphans& expired);
    // Under the lock: starts the reaper when contexts are held and none runs. False when no
    // thread could be started: the contexts stay held and the next connection to end, or to
    // establish a context, tries again.
    bool start_reaper_locked();
    // Under the lock: `connection` now uses the context (kept from release if it was held).
    void add_user(Entry& entry, uint64_t connection);
    void forget(SCARDCONTEXT context);
    // Under the lock: removes the context and its cards from the tables.
    void forget_locked(SCARDCONTEXT context);
    // Cancels and releases, then reports one line per connection. Called without the lock.
    void release(const Orphans& orphans);
    void reap();

    std::chrono::milliseconds slice_;
    std::chrono::milliseconds grace_;
    CancelMarks marks_;
    mutable std::mutex mutex_;  // guards the tables and the reaper state; never held while PC/SC runs
    std::unordered_map<SCARDCONTEXT, Entry> contexts_;
    std::unordered_map<SCARDHANDLE, Card> cards_;
    std::size_t held_ = 0;
    // Releases held contexts when their grace ends; runs only while some are held.
    std::thread reaper_;
    bool reaper_running_ = false;
    bool stopping_ = false;
    std::condition_variable reaper_wake_;
};

}  // namespace kx_agent::smartcard
