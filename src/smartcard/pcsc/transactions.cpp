#include "smartcard/pcsc/transactions.h"

#include <algorithm>

#include "smartcard/pcsc/connection_scope.h"

namespace kx_agent::smartcard {

Transactions::Call::Call(Transactions& transactions, Pcsc& below, const ConnectionScope& scope)
    : ForwardingPcsc(below), transactions_(transactions), scope_(scope) {}

LONG Transactions::Call::release_context(SCARDCONTEXT context) {
    LONG result = inner_.release_context(context);
    transactions_.forget_context(context);
    return result;
}

LONG Transactions::Call::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                                 DWORD preferred_protocols, SCARDHANDLE* card,
                                 DWORD* active_protocol) {
    const std::string name = reader != nullptr ? reader : "";
    transactions_.end_own_before(scope_, context, name, 0);
    LONG result =
        inner_.connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(transactions_.mutex_);
        transactions_.cards_[*card] = Card{context, name, {scope_.id()}, 0};
    }
    return result;
}

LONG Transactions::Call::disconnect(SCARDHANDLE card, DWORD disposition) {
    transactions_.note_user(scope_.id(), card);
    LONG result = inner_.disconnect(card, disposition);
    if (result == SCARD_S_SUCCESS) transactions_.forget_card(card);
    return result;
}

LONG Transactions::Call::begin_transaction(SCARDHANDLE card) {
    use_card(card);
    LONG result = inner_.begin_transaction(card);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(transactions_.mutex_);
        if (auto it = transactions_.cards_.find(card); it != transactions_.cards_.end())
            it->second.transaction = scope_.id();
    }
    return result;
}

LONG Transactions::Call::end_transaction(SCARDHANDLE card, DWORD disposition) {
    transactions_.note_user(scope_.id(), card);
    LONG result = inner_.end_transaction(card, disposition);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(transactions_.mutex_);
        if (auto it = transactions_.cards_.find(card); it != transactions_.cards_.end())
            it->second.transaction = 0;
    }
    return result;
}

void Transactions::Call::use_card(SCARDHANDLE card) {
    transactions_.note_user(scope_.id(), card);
    transactions_.end_own_before(scope_, card);
}

void Transactions::note_user(uint64_t connection, SCARDHANDLE card) {
    std::lock_guard lock(mutex_);
    if (auto it = cards_.find(card); it != cards_.end()) it->second.users.insert(connection);
}

void Transactions::end_own_before(const ConnectionScope& scope, SCARDCONTEXT context,
                                  const std::string& reader, SCARDHANDLE card) {
    std::vector<SCARDHANDLE> own;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, entry] : cards_)
            if (handle != card && entry.transaction == scope.id() && entry.reader == reader &&
                (!scope.side_by_side() || entry.context == context))
                own.push_back(handle);
    }
    end(own);
}

void Transactions::end_own_before(const ConnectionScope& scope, SCARDHANDLE card) {
    SCARDCONTEXT context = 0;
    std::string reader;
    {
        std::lock_guard lock(mutex_);
        auto it = cards_.find(card);
        if (it == cards_.end()) return;
        context = it->second.context;
        reader = it->second.reader;
    }
    end_own_before(scope, context, reader, card);
}

void Transactions::end(const std::vector<SCARDHANDLE>& cards) {
    for (SCARDHANDLE card : cards) {
        // SCARD_LEAVE_CARD: whoever comes next finds the card as it was, as after a client's
        // own EndTransaction.
        service_.end_transaction(card, SCARD_LEAVE_CARD);
        std::lock_guard lock(mutex_);
        if (auto it = cards_.find(card); it != cards_.end()) it->second.transaction = 0;
    }
}

void Transactions::end_transactions(uint64_t connection, std::span<const uint64_t> busy) {
    std::vector<SCARDHANDLE> idle, last;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, entry] : cards_) {
            if (entry.transaction == 0 || !entry.users.contains(connection) ||
                entry.users.size() > 1)
                continue;
            // pcsc-lite runs one call at a time per context: an EndTransaction on a context
            // whose call still runs waits for that call, which may wait for one of the others.
            (std::ranges::find(busy, static_cast<uint64_t>(entry.context)) == busy.end() ? idle
                                                                                         : last)
                .push_back(handle);
        }
    }
    end(idle);
    end(last);
}

void Transactions::end_connection(uint64_t connection) {
    // First, so that the card is free for the others at once; the handles stay for the grace.
    end_transactions(connection);
    std::lock_guard lock(mutex_);
    for (auto& [card, entry] : cards_) entry.users.erase(connection);
}

void Transactions::forget_context(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    std::erase_if(cards_, [&](const auto& card) { return card.second.context == context; });
}

void Transactions::forget_card(SCARDHANDLE card) {
    std::lock_guard lock(mutex_);
    cards_.erase(card);
}

std::size_t Transactions::known_cards() const {
    std::lock_guard lock(mutex_);
    return cards_.size();
}

}  // namespace kx_agent::smartcard
