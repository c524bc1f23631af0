#pragma once
// What the agent knows of each PC/SC context its web clients hold, in one record per context,
// as pcsc-lite keeps one per client context: the connections that use it, its grace, its cancel
// mark and its card handles, each with its reader, the connection whose transaction it holds
// and the connections that use it. One table, under one lock; a released context is one entry
// erased, and everything that belonged to it goes with it (its cards, its mark, its card cache
// items and transmit counts).
//
// What it keeps it for:
// - A closed web client leaks no context. pcscd serves a bounded number of contexts for the whole
//   machine, and a browser tab that is closed or loses its network never releases its own. When
//   a connection ends, each context that no other live connection has made or used (a card handle
//   counts as a use of its context) is cancelled and released, and pcsc-lite drops its handles.
//   The release waits for a grace period: a bridge window that is reloaded comes back on a new
//   connection with the contexts and card handles its page still holds, and a use from a live
//   connection within the grace keeps them. So that a page reloaded in a loop cannot hold pcscd's
//   few contexts, at most kMaxHeld contexts (and half the agent's bound, limits().contexts) wait
//   out their grace; beyond that the oldest go at once.
// - Transactions never outlive their page, nor wait for themselves. pcsc-lite holds every other
//   call on the card until a transaction ends, so the transactions of a closed connection end at
//   once (the grace keeps contexts and handles, never transactions) unless a live connection has
//   used that handle; and a call that would wait for a transaction of its own connection that the
//   connection cannot end while the call waits (in strict order nothing is read meanwhile; side
//   by side, a transaction on the call's own context is behind the call) ends it first.
// - Bounds: at most limits().contexts_per_connection contexts per connection; limits().contexts
//   contexts and limits().cards card handles (limits().cards_per_context on one context) for all
//   connections together, so that pcscd always has room left for the computer's other programs.
//   An EstablishContext or Connect beyond a bound is answered SCARD_E_NO_MEMORY without reaching
//   the service.
// - The cancel marks of the sliced waits (smartcard/pcsc/sliced_waits.h).
//
// A connection's calls reach the record through ContextGuard::Calls, the layer of one call that
// names its connection (smartcard/pcsc/connection_scope.h builds it). Calls made on the guard
// itself belong to no connection: they pass to the service, and what they end is forgotten.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/card_cache.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {

class ConnectionScope;

class ContextGuard final : public ForwardingPcsc {
public:
    static constexpr std::size_t kMaxHeld = 64;
    // The slice of the connections' status-change waits.
    static constexpr std::chrono::milliseconds kSlice{500};
    // How long the contexts of a closed connection wait for a live connection to use them before
    // they are released (0 releases them when the connection ends).
    static constexpr std::chrono::milliseconds kGrace{30000};

    // `cache`, `transmits`: what a released context takes with it (none: nothing).
    explicit ContextGuard(Pcsc& service, std::chrono::milliseconds slice = kSlice,
                          std::chrono::milliseconds grace = kGrace, CardCache* cache = nullptr,
                          TransmitCounts* transmits = nullptr);
    ~ContextGuard() override;
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;

    // Contexts remembered; of them, those of closed connections waiting out their grace.
    std::size_t known_contexts() const;
    std::size_t held_contexts() const;
    // Card handles remembered, and contexts with a cancel mark.
    std::size_t known_cards() const;
    std::size_t cancel_marks() const;
    // Contexts and card handles counted against the agent's bounds (calls under way included).
    std::size_t bounded_contexts() const;
    std::size_t bounded_cards() const;
    std::chrono::milliseconds slice() const { return slice_; }
    // The context that `card` was connected on; none for a handle the record does not hold.
    std::optional<SCARDCONTEXT> context_of(SCARDHANDLE card) const;

    // The cancel marks (smartcard/pcsc/sliced_waits.h): per context, the arrival of its latest
    // cancel; a context the record does not hold keeps none.
    void mark(SCARDCONTEXT context, uint64_t arrival);
    // Whether a cancel on `context` arrived after `arrival`.
    bool cancelled_since(SCARDCONTEXT context, uint64_t arrival) const;

    // Ends the transactions held on the card handles that `connection` has used and no other
    // live connection has, those on `busy` contexts (calls of the connection still run there)
    // last: a call that waits for one of the others then goes on, and the service takes the next.
    void end_transactions(uint64_t connection, std::span<const uint64_t> busy = {});
    // `connection` has ended: its transactions end as above, and it uses nothing any more. The
    // contexts it leaves without users are cancelled and released once the grace has passed with
    // no live connection using them. Returns how many were released at once (all of them with no
    // grace; the oldest held beyond kMaxHeld).
    std::size_t end_connection(uint64_t connection);

    // Calls on the guard itself (no connection): the service's, and what they end is forgotten.
    LONG release_context(SCARDCONTEXT context) override;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override;

    // The layer of one call of a connection, over the guard's service.
    class Calls final : public ForwardingPcsc {
    public:
        Calls(ContextGuard& guard, const ConnectionScope& scope);

        LONG establish_context(DWORD scope, SCARDCONTEXT* context) override;
        LONG release_context(SCARDCONTEXT context) override;
        LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                     DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override;
        LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
        LONG begin_transaction(SCARDHANDLE card) override;
        LONG end_transaction(SCARDHANDLE card, DWORD disposition) override;

    protected:
        // A use of the context; on a card handle, first ends the connection's transactions that
        // the call would wait for.
        void use_context(SCARDCONTEXT context) override;
        void use_card(SCARDHANDLE card) override;

    private:
        // A use of the card handle and of its context, that ends no transaction.
        void note_card(SCARDHANDLE card);

        ContextGuard& guard_;
        const ConnectionScope& scope_;
    };

private:
    using Clock = std::chrono::steady_clock;
    struct Card {
        std::string reader;
        std::set<uint64_t> users;  // live connections that connected or used the handle
        uint64_t transaction = 0;  // the connection whose transaction the handle holds; 0: none
    };
    struct Context {
        std::set<uint64_t> users;  // live connections that made or used the context
        std::optional<Clock::time_point> orphaned;  // when its last user closed, while held
        uint64_t last_user = 0;                     // that connection
        uint64_t cancel_mark = 0;                   // arrival of its latest cancel; 0: none
        std::size_t connecting = 0;                 // connects under way on it
        std::unordered_map<SCARDHANDLE, Card> cards;
    };
    // Contexts to release, with the connection that left them.
    using Orphans = std::vector<std::pair<uint64_t, SCARDCONTEXT>>;

    // Under the lock: the context of a card handle, and the handle's record (null: none).
    Context* context_of_locked(SCARDHANDLE card, Card** record = nullptr);
    // Under the lock: `connection` now uses the context (kept from release if it was held).
    void add_user_locked(Context& context, uint64_t connection);
    std::size_t contexts_of_locked(uint64_t connection) const;
    // Under the lock: erases the context and all that belonged to it.
    void forget_locked(SCARDCONTEXT context);
    void forget_card_locked(SCARDHANDLE card);
    // Under the lock: says once that a bound was reached (and again after it was left).
    void say_bound_locked(bool reached, bool& said, const char* what, std::size_t bound);
    void say_left_locked();
    // Under the lock: the card handles of `connection`'s transactions that a call on `card` (0:
    // a connect on `context` to `reader`) would wait for.
    std::vector<SCARDHANDLE> own_before_locked(const ConnectionScope& scope, SCARDCONTEXT context,
                                               const std::string& reader, SCARDHANDLE card) const;
    // Under the lock: `connection` (0: none) now holds the card's transaction.
    void hold_locked(Card& card, uint64_t connection);
    // Ends each transaction (PC/SC outside the lock) and forgets it.
    void end(const std::vector<SCARDHANDLE>& cards);
    // Under the lock: held contexts whose grace has passed, forgotten.
    void take_expired_locked(Orphans& expired);
    // Under the lock: starts the reaper when contexts are held and none runs. False when no
    // thread could be started: the contexts stay held and the next connection to end, or to
    // establish a context, tries again.
    bool start_reaper_locked();
    // Cancels and releases, then reports one line per connection. Called without the lock.
    void release(const Orphans& orphans);
    void reap();

    std::chrono::milliseconds slice_;
    std::chrono::milliseconds grace_;
    CardCache* cache_;
    TransmitCounts* transmits_;
    mutable std::mutex mutex_;  // guards what follows; never held while PC/SC runs
    std::unordered_map<SCARDCONTEXT, Context> contexts_;
    std::unordered_map<SCARDHANDLE, SCARDCONTEXT> cards_;  // each card handle's context
    std::size_t held_ = 0;
    std::size_t establishing_ = 0;  // establishes under way, against the bound
    std::size_t connecting_ = 0;    // connects under way, against the bound
    std::size_t transactions_ = 0;  // card handles that hold a transaction
    bool said_contexts_ = false;
    bool said_cards_ = false;
    // Releases held contexts when their grace ends; runs only while some are held.
    std::thread reaper_;
    bool reaper_running_ = false;
    bool stopping_ = false;
    std::condition_variable reaper_wake_;
};

}  // namespace kx_agent::smartcard
