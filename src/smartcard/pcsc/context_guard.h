#pragma once
// Keeps a closed web client from leaking PC/SC contexts.
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
// The calls of a connection reach the guard through layers of their own that name it
// (smartcard/pcsc/connection_scope.h); calls made on the guard directly belong to no connection
// and pass through. The guard holds what those layers share: the card handles' transactions
// (smartcard/pcsc/transactions.h) and the cancel marks (smartcard/pcsc/sliced_waits.h), which it
// forgets with their context.
//
// At most limits().contexts_per_connection contexts are held by one connection; an establish
// beyond that is answered SCARD_E_NO_MEMORY and leaves no context in the service.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "smartcard/pcsc/pcsc.h"
#include "smartcard/pcsc/sliced_waits.h"
#include "smartcard/pcsc/transactions.h"

namespace kx_agent::smartcard {

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
    // What the calls of the connections share (smartcard/pcsc/connection_scope.h).
    Transactions& transactions() { return transactions_; }
    // Forgets `connection` as a user: the contexts it leaves without users are cancelled and
    // released once the grace has passed with no live connection using them. Returns how many
    // were released at once (all of them with no grace; the oldest held beyond kMaxHeld).
    std::size_t end_connection(uint64_t connection);

    // Calls made on the guard itself belong to no connection: they pass to the service, and
    // what they make or end is forgotten, not remembered.
    using ForwardingPcsc::connect;
    using ForwardingPcsc::establish_context;
    LONG release_context(SCARDCONTEXT context) override;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override;

    // The calls of `connection` (smartcard/pcsc/connection_scope.h, ToGuard): the bound per
    // connection on establish; a connect or disconnect remembers or forgets the card handle;
    // every other call on a context or a card handle is a use of the context.
    LONG establish_context(uint64_t connection, DWORD scope, SCARDCONTEXT* context);
    LONG connect(uint64_t connection, SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol);
    LONG disconnect(uint64_t connection, SCARDHANDLE card, DWORD disposition);
    void note_context(uint64_t connection, SCARDCONTEXT context);
    void note_card(uint64_t connection, SCARDHANDLE card);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::set<uint64_t> users;  // live connections that made or used the context
        std::optional<Clock::time_point> orphaned;  // when its last user closed, while held
        uint64_t last_user = 0;                     // that connection
    };
    // Contexts to release, with the connection that left them.
    using Orphans = std::vector<std::pair<uint64_t, SCARDCONTEXT>>;

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
    Transactions transactions_{*this};
    mutable std::mutex
        mutex_;  // guards the tables and the reaper state; never held while PC/SC runs
    std::unordered_map<SCARDCONTEXT, Entry> contexts_;
    std::unordered_map<SCARDHANDLE, SCARDCONTEXT> cards_;  // each card handle's context
    std::size_t held_ = 0;
    // Releases held contexts when their grace ends; runs only while some are held.
    std::thread reaper_;
    bool reaper_running_ = false;
    bool stopping_ = false;
    std::condition_variable reaper_wake_;
};

}  // namespace kx_agent::smartcard
