#pragma once
// Transactions never outlive their page, nor wait for themselves.
//
// pcsc-lite holds every other call on the card (Connect, Status, Transmit, BeginTransaction on
// any other handle, of any program) until a transaction ends. So:
// - the transactions of a closed connection are ended at once (the grace of the context guard
//   keeps contexts and card handles, never transactions), unless a live connection has used that
//   card handle: a reloaded page carries on with it;
// - a connection that makes a call which would wait for a transaction of its own that it cannot
//   end while the call waits (in strict order nothing is read meanwhile; side by side, a
//   transaction on the call's own context is behind the call) has that transaction ended first,
//   rather than waiting for ever.
//
// `Transactions` keeps, for each card handle connected over a relay connection, its context, its
// reader, the live connections that have used it and the connection whose transaction it holds.
// `Transactions::Call` is the layer of one call of a connection that keeps them.
#include <cstdint>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

class ConnectionScope;

class Transactions {
public:
    // `service`: where the transactions this ends go; what is called there belongs to no
    // connection.
    explicit Transactions(Pcsc& service) : service_(service) {}

    class Call final : public ForwardingPcsc {
    public:
        Call(Transactions& transactions, Pcsc& below, const ConnectionScope& scope);

        LONG release_context(SCARDCONTEXT context) override;
        LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                     DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override;
        LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
        LONG begin_transaction(SCARDHANDLE card) override;
        LONG end_transaction(SCARDHANDLE card, DWORD disposition) override;

    protected:
        // Every other call on a card handle: a use of the handle that first ends the
        // connection's transactions it would wait for.
        void use_card(SCARDHANDLE card) override;

    private:
        Transactions& transactions_;
        const ConnectionScope& scope_;
    };

    // Ends the transactions held on the card handles that `connection` has used and no other
    // live connection has, those on `busy` contexts (calls of the connection still run there)
    // last: a call that waits for one of the others then goes on, and the service takes the next.
    void end_transactions(uint64_t connection, std::span<const uint64_t> busy = {});
    // `connection` has ended: its transactions end as above, and it uses no handle any more.
    void end_connection(uint64_t connection);
    // The context, or the card handle, is gone.
    void forget_context(SCARDCONTEXT context);
    void forget_card(SCARDHANDLE card);
    // Card handles currently remembered.
    std::size_t known_cards() const;

private:
    struct Card {
        SCARDCONTEXT context = 0;
        std::string reader;
        std::set<uint64_t> users;  // live connections that connected or used the handle
        uint64_t transaction = 0;  // the connection whose transaction the handle holds; 0: none
    };

    void note_user(uint64_t connection, SCARDHANDLE card);
    // Before a call of `scope` that waits while another handle holds a transaction on the card in
    // `reader` (`card`: the call's own handle, 0 for a connect): ends the connection's
    // transactions there that it could not end while the call waits.
    void end_own_before(const ConnectionScope& scope, SCARDCONTEXT context,
                        const std::string& reader, SCARDHANDLE card);
    void end_own_before(const ConnectionScope& scope, SCARDHANDLE card);
    // Ends each transaction (PC/SC outside the lock) and forgets it.
    void end(const std::vector<SCARDHANDLE>& cards);

    Pcsc& service_;
    mutable std::mutex mutex_;  // guards the table; never held while PC/SC runs
    std::unordered_map<SCARDHANDLE, Card> cards_;
};

}  // namespace kx_agent::smartcard
