#include "smartcard/pcsc/context_guard.h"

#include <algorithm>
#include <map>
#include <string>
#include <system_error>
#include <utility>

#include "agent_limits.h"
#include "diagnostics.h"
#include "smartcard/pcsc/connection_scope.h"

namespace kx_agent::smartcard {

ContextGuard::ContextGuard(Pcsc& service, std::chrono::milliseconds slice,
                           std::chrono::milliseconds grace, CardCache* cache,
                           TransmitCounts* transmits)
    : ForwardingPcsc(service), slice_(slice), grace_(grace), cache_(cache), transmits_(transmits) {}

ContextGuard::~ContextGuard() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    reaper_wake_.notify_all();
    if (reaper_.joinable()) reaper_.join();
}

std::size_t ContextGuard::known_contexts() const {
    std::lock_guard lock(mutex_);
    return contexts_.size();
}

std::size_t ContextGuard::held_contexts() const {
    std::lock_guard lock(mutex_);
    return held_;
}

std::size_t ContextGuard::known_cards() const {
    std::lock_guard lock(mutex_);
    return cards_.size();
}

std::size_t ContextGuard::cancel_marks() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::ranges::count_if(
        contexts_, [](const auto& entry) { return entry.second.cancel_mark != 0; }));
}

std::size_t ContextGuard::bounded_contexts() const {
    std::lock_guard lock(mutex_);
    return contexts_.size() + establishing_;
}

std::size_t ContextGuard::bounded_cards() const {
    std::lock_guard lock(mutex_);
    return cards_.size() + connecting_;
}

// ---- the record

std::optional<SCARDCONTEXT> ContextGuard::context_of(SCARDHANDLE card) const {
    std::lock_guard lock(mutex_);
    auto owner = cards_.find(card);
    if (owner == cards_.end()) return std::nullopt;
    return owner->second;
}

ContextGuard::Context* ContextGuard::context_of_locked(SCARDHANDLE card, Card** record) {
    auto owner = cards_.find(card);
    if (owner == cards_.end()) return nullptr;
    auto it = contexts_.find(owner->second);
    if (it == contexts_.end()) return nullptr;
    if (record != nullptr) {
        auto found = it->second.cards.find(card);
        *record = found != it->second.cards.end() ? &found->second : nullptr;
    }
    return &it->second;
}

void ContextGuard::add_user_locked(Context& context, uint64_t connection) {
    context.users.insert(connection);
    if (context.orphaned) {
        context.orphaned.reset();
        --held_;
    }
}

std::size_t ContextGuard::contexts_of_locked(uint64_t connection) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        contexts_, [&](const auto& entry) { return entry.second.users.contains(connection); }));
}

void ContextGuard::forget_locked(SCARDCONTEXT context) {
    auto it = contexts_.find(context);
    if (it == contexts_.end()) return;
    if (it->second.orphaned) --held_;
    // What the handlers keep for it goes too (pcsc-lite drops the handles with the context).
    for (auto& [card, record] : it->second.cards) {
        hold_locked(record, 0);
        cards_.erase(card);
        if (transmits_ != nullptr) transmits_->forget(card);
    }
    contexts_.erase(it);
    if (cache_ != nullptr) cache_->forget_context(context);
}

void ContextGuard::forget_card_locked(SCARDHANDLE card) {
    auto owner = cards_.find(card);
    if (owner == cards_.end()) return;
    if (auto it = contexts_.find(owner->second); it != contexts_.end())
        it->second.cards.erase(card);
    cards_.erase(owner);
}

void ContextGuard::say_bound_locked(bool reached, bool& said, const char* what, std::size_t bound) {
    if (reached == said) return;
    said = reached;
    // A line, not one per refused call: a page in a loop must not flood the output.
    if (reached)
        diagnostics::out(std::string("PC/SC bound reached: ") + std::to_string(bound) + " " + what +
                         " are held through the agent; more are answered SCARD_E_NO_MEMORY");
    else diagnostics::out(std::string("PC/SC ") + what + " below the bound again");
}

void ContextGuard::say_left_locked() {
    if (said_contexts_ && contexts_.size() + establishing_ < limits().contexts)
        say_bound_locked(false, said_contexts_, "contexts", limits().contexts);
    if (said_cards_ && cards_.size() + connecting_ < limits().cards)
        say_bound_locked(false, said_cards_, "card handles", limits().cards);
}

// ---- cancel marks

void ContextGuard::mark(SCARDCONTEXT context, uint64_t arrival) {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it != contexts_.end()) it->second.cancel_mark = std::max(it->second.cancel_mark, arrival);
}

bool ContextGuard::cancelled_since(SCARDCONTEXT context, uint64_t arrival) const {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    return it != contexts_.end() && it->second.cancel_mark > arrival;
}

// ---- transactions

void ContextGuard::hold_locked(Card& card, uint64_t connection) {
    if (card.transaction != 0) --transactions_;
    if (connection != 0) ++transactions_;
    card.transaction = connection;
}

std::vector<SCARDHANDLE> ContextGuard::own_before_locked(const ConnectionScope& scope,
                                                         SCARDCONTEXT context,
                                                         const std::string& reader,
                                                         SCARDHANDLE card) const {
    std::vector<SCARDHANDLE> own;
    if (transactions_ == 0) return own;  // the common case: no scan of every handle
    for (const auto& [owner, entry] : contexts_) {
        if (scope.side_by_side() && owner != context) continue;
        for (const auto& [handle, record] : entry.cards)
            if (handle != card && record.transaction == scope.id() && record.reader == reader)
                own.push_back(handle);
    }
    return own;
}

void ContextGuard::end(const std::vector<SCARDHANDLE>& cards) {
    for (SCARDHANDLE card : cards) {
        // SCARD_LEAVE_CARD: whoever comes next finds the card as it was, as after a client's
        // own EndTransaction.
        inner_.end_transaction(card, SCARD_LEAVE_CARD);
        std::lock_guard lock(mutex_);
        Card* record = nullptr;
        if (context_of_locked(card, &record) != nullptr && record != nullptr)
            hold_locked(*record, 0);
    }
}

void ContextGuard::end_transactions(uint64_t connection, std::span<const uint64_t> busy) {
    std::vector<SCARDHANDLE> idle, last;
    {
        std::lock_guard lock(mutex_);
        if (transactions_ == 0) return;
        for (const auto& [context, entry] : contexts_) {
            // pcsc-lite runs one call at a time per context: an EndTransaction on a context
            // whose call still runs waits for that call, which may wait for one of the others.
            auto& to =
                std::ranges::find(busy, static_cast<uint64_t>(context)) == busy.end() ? idle : last;
            for (const auto& [handle, card] : entry.cards)
                if (card.transaction != 0 && card.users.contains(connection) &&
                    card.users.size() == 1)
                    to.push_back(handle);
        }
    }
    end(idle);
    end(last);
}

// ---- connections and their grace

void ContextGuard::release(const Orphans& orphans) {
    std::map<uint64_t, std::size_t> per_connection;
    for (auto [connection, context] : orphans) {
        inner_.cancel(context);
        inner_.release_context(context);
        ++per_connection[connection];
    }
    for (auto [connection, released] : per_connection)
        diagnostics::out("Connection closed: released " + std::to_string(released) +
                         " PC/SC context" + (released == 1 ? "" : "s") + " it left behind.");
}

void ContextGuard::take_expired_locked(Orphans& expired) {
    const auto now = Clock::now();
    const auto first = expired.size();
    for (const auto& [context, entry] : contexts_)
        if (entry.orphaned && *entry.orphaned + grace_ <= now)
            expired.emplace_back(entry.last_user, context);
    for (auto it = expired.begin() + static_cast<std::ptrdiff_t>(first); it != expired.end(); ++it)
        forget_locked(it->second);
}

bool ContextGuard::start_reaper_locked() {
    if (held_ == 0 || reaper_running_ || stopping_) return true;
    // The previous reaper has left its loop (it cleared the flag under this lock) and needs the
    // lock no more: joining it here is brief.
    if (reaper_.joinable()) reaper_.join();
    try {
        reaper_ = std::thread([this] { reap(); });
    } catch (const std::system_error&) {
        return false;  // no thread for now (a process limit): the contexts stay held
    }
    reaper_running_ = true;
    return true;
}

std::size_t ContextGuard::end_connection(uint64_t connection) {
    // First, so that the card is free for the others at once; the handles stay for the grace.
    end_transactions(connection);
    Orphans now;
    bool start_reaper = false;
    {
        std::lock_guard lock(mutex_);
        const auto at = Clock::now();
        for (auto& [context, entry] : contexts_) {
            for (auto& [_, card] : entry.cards) card.users.erase(connection);
            if (entry.users.erase(connection) == 0 || !entry.users.empty()) continue;
            if (grace_.count() <= 0) {
                now.emplace_back(connection, context);
            } else {
                entry.orphaned = at;
                entry.last_user = connection;
                ++held_;
            }
        }
        // Beyond the bound, the contexts held longest go first. Held contexts count against the
        // agent's bound on contexts too: half of it stays for live pages.
        while (held_ > std::min(kMaxHeld, limits().contexts / 2)) {
            auto oldest = contexts_.end();
            for (auto it = contexts_.begin(); it != contexts_.end(); ++it)
                if (it->second.orphaned &&
                    (oldest == contexts_.end() || *it->second.orphaned < *oldest->second.orphaned))
                    oldest = it;
            now.emplace_back(oldest->second.last_user, oldest->first);
            forget_locked(oldest->first);
        }
        for (auto [_, context] : now) forget_locked(context);
        const bool was_running = reaper_running_;
        // Without a reaper (none could be started before), what is overdue goes now.
        if (!reaper_running_) take_expired_locked(now);
        start_reaper = start_reaper_locked() && !was_running && reaper_running_;
        say_left_locked();
    }
    if (start_reaper) reaper_wake_.notify_all();
    release(now);
    return now.size();
}

void ContextGuard::reap() {
    std::unique_lock lock(mutex_);
    while (!stopping_ && held_ > 0) {
        std::optional<Clock::time_point> earliest;
        for (const auto& [context, entry] : contexts_)
            if (entry.orphaned && (!earliest || *entry.orphaned < *earliest))
                earliest = entry.orphaned;
        const auto due = *earliest + grace_;
        if (Clock::now() < due) {
            reaper_wake_.wait_until(lock, due);
            continue;
        }
        Orphans expired;
        take_expired_locked(expired);
        say_left_locked();
        lock.unlock();
        release(expired);
        lock.lock();
    }
    reaper_running_ = false;
}

// ---- calls on the guard itself

LONG ContextGuard::release_context(SCARDCONTEXT context) {
    LONG result = inner_.release_context(context);
    std::lock_guard lock(mutex_);
    forget_locked(context);
    say_left_locked();
    return result;
}

LONG ContextGuard::disconnect(SCARDHANDLE card, DWORD disposition) {
    LONG result = inner_.disconnect(card, disposition);
    // A disposition the service refuses leaves the handle connected; any other outcome ends it
    // (or finds it ended already).
    if (result == SCARD_E_INVALID_VALUE || result == SCARD_E_INVALID_PARAMETER) return result;
    std::lock_guard lock(mutex_);
    forget_card_locked(card);
    say_left_locked();
    return result;
}

// ---- the calls of a connection

ContextGuard::Calls::Calls(ContextGuard& guard, const ConnectionScope& scope)
    // As a Pcsc: a ContextGuard would pick ForwardingPcsc's copy constructor.
    : ForwardingPcsc(static_cast<Pcsc&>(guard.inner_)), guard_(guard), scope_(scope) {}

void ContextGuard::Calls::use_context(SCARDCONTEXT context) {
    std::lock_guard lock(guard_.mutex_);
    if (auto it = guard_.contexts_.find(context); it != guard_.contexts_.end())
        guard_.add_user_locked(it->second, scope_.id());
}

void ContextGuard::Calls::use_card(SCARDHANDLE card) {
    std::vector<SCARDHANDLE> own;
    {
        std::lock_guard lock(guard_.mutex_);
        Card* record = nullptr;
        Context* context = guard_.context_of_locked(card, &record);
        if (context == nullptr || record == nullptr) return;
        guard_.add_user_locked(*context, scope_.id());
        record->users.insert(scope_.id());
        const SCARDCONTEXT owner = guard_.cards_.find(card)->second;
        own = guard_.own_before_locked(scope_, owner, record->reader, card);
    }
    guard_.end(own);
}

LONG ContextGuard::Calls::establish_context(DWORD scope, SCARDCONTEXT* context) {
    const uint64_t connection = scope_.id();
    const std::size_t share = limits().contexts_per_connection;
    const std::size_t bound = limits().contexts;
    Orphans overdue;
    {
        std::lock_guard lock(guard_.mutex_);
        if (!guard_.reaper_running_) {
            guard_.take_expired_locked(overdue);
            guard_.start_reaper_locked();
        }
    }
    guard_.release(overdue);
    {
        std::lock_guard lock(guard_.mutex_);
        guard_.say_left_locked();
        if (guard_.contexts_of_locked(connection) >= share) return SCARD_E_NO_MEMORY;
        const bool full = guard_.contexts_.size() + guard_.establishing_ >= bound;
        guard_.say_bound_locked(full, guard_.said_contexts_, "contexts", bound);
        if (full) return SCARD_E_NO_MEMORY;
        ++guard_.establishing_;
    }
    LONG result = inner_.establish_context(scope, context);
    {
        std::lock_guard lock(guard_.mutex_);
        --guard_.establishing_;
        if (result != SCARD_S_SUCCESS) return result;
        // Establishes side by side on one connection may all have passed the check above.
        if (guard_.contexts_of_locked(connection) < share) {
            guard_.forget_locked(*context);  // a value PC/SC hands out again is a new context
            guard_.contexts_[*context].users.insert(connection);
            return result;
        }
    }
    inner_.release_context(*context);
    *context = 0;
    return SCARD_E_NO_MEMORY;
}

LONG ContextGuard::Calls::release_context(SCARDCONTEXT context) {
    return guard_.release_context(context);
}

LONG ContextGuard::Calls::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                                  DWORD preferred_protocols, SCARDHANDLE* card,
                                  DWORD* active_protocol) {
    const std::string name = reader != nullptr ? reader : "";
    const std::size_t per_context = limits().cards_per_context;
    const std::size_t bound = limits().cards;
    std::vector<SCARDHANDLE> own;
    {
        std::lock_guard lock(guard_.mutex_);
        auto it = guard_.contexts_.find(context);
        if (it != guard_.contexts_.end()) guard_.add_user_locked(it->second, scope_.id());
        const bool full = guard_.cards_.size() + guard_.connecting_ >= bound;
        guard_.say_bound_locked(full, guard_.said_cards_, "card handles", bound);
        if (full || (it != guard_.contexts_.end() &&
                     it->second.cards.size() + it->second.connecting >= per_context))
            return SCARD_E_NO_MEMORY;
        ++guard_.connecting_;
        if (it != guard_.contexts_.end()) ++it->second.connecting;
        own = guard_.own_before_locked(scope_, context, name, 0);
    }
    guard_.end(own);
    LONG result =
        inner_.connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    std::lock_guard lock(guard_.mutex_);
    --guard_.connecting_;
    // The context may have been released meanwhile (another thread's call): look it up again.
    auto it = guard_.contexts_.find(context);
    if (it == guard_.contexts_.end()) return result;  // not the agent's: the service's word
    if (it->second.connecting > 0) --it->second.connecting;
    if (result != SCARD_S_SUCCESS) return result;
    guard_.forget_card_locked(*card);  // a handle value handed out again: the old one is gone
    it->second.cards[*card] = Card{name, {scope_.id()}, 0};
    guard_.cards_[*card] = context;
    return result;
}

void ContextGuard::Calls::note_card(SCARDHANDLE card) {
    std::lock_guard lock(guard_.mutex_);
    Card* record = nullptr;
    if (Context* context = guard_.context_of_locked(card, &record)) {
        guard_.add_user_locked(*context, scope_.id());
        if (record != nullptr) record->users.insert(scope_.id());
    }
}

LONG ContextGuard::Calls::disconnect(SCARDHANDLE card, DWORD disposition) {
    note_card(card);
    return guard_.disconnect(card, disposition);
}

LONG ContextGuard::Calls::begin_transaction(SCARDHANDLE card) {
    use_card(card);
    LONG result = inner_.begin_transaction(card);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(guard_.mutex_);
        Card* record = nullptr;
        if (guard_.context_of_locked(card, &record) != nullptr && record != nullptr)
            guard_.hold_locked(*record, scope_.id());
    }
    return result;
}

LONG ContextGuard::Calls::end_transaction(SCARDHANDLE card, DWORD disposition) {
    note_card(card);
    LONG result = inner_.end_transaction(card, disposition);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(guard_.mutex_);
        Card* record = nullptr;
        if (guard_.context_of_locked(card, &record) != nullptr && record != nullptr)
            guard_.hold_locked(*record, 0);
    }
    return result;
}

}  // namespace kx_agent::smartcard
