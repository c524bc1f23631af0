#pragma once
// One relay connection, for as long as it relays calls, as the PC/SC stack sees it: its number,
// whether other calls of it may run while one waits, and whether its peer is still there.
//
// Each call of the connection reaches the PC/SC service through two layers of its own, built
// for the call (ConnectionScope::Call), from the top:
//   SlicedWaits           waits in slices that end when the client goes, and the cancel marks
//                         that end waits queued before a cancel (smartcard/pcsc/sliced_waits.h)
//   ContextGuard::Calls   the record of the contexts and card handles the connections hold:
//                         ownership, grace, transactions, bounds (smartcard/pcsc/context_guard.h)
// Calls that reach the guard any other way belong to no connection.
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

#include "smartcard/pcsc/context_guard.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/pcsc/sliced_waits.h"

namespace kx_agent::smartcard {

class ConnectionScope {
public:
    // `peer_closed`: whether the peer has closed or reset the connection (none: it never has).
    explicit ConnectionScope(ContextGuard& guard, std::function<bool()> peer_closed = {});
    // Ends the connection's transactions and forgets it as a user (ContextGuard::end_connection).
    ~ConnectionScope();
    ConnectionScope(const ConnectionScope&) = delete;
    ConnectionScope& operator=(const ConnectionScope&) = delete;

private:
    // The record's layer of a call, built before the waits over it.
    struct CallRecord {
        explicit CallRecord(ConnectionScope& scope) : record(scope.guard_, scope) {}
        ContextGuard::Calls record;
    };

public:
    // The layers of one call of the connection. `arrival`: when the call was read (`arrive()`);
    // 0 counts each of its PC/SC calls as arriving when it is made.
    class Call final : private CallRecord, public SlicedWaits {
    public:
        explicit Call(ConnectionScope& scope, uint64_t arrival = 0);
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

}  // namespace kx_agent::smartcard
