#include "smartcard/pcsc/context_guard.h"

#include <algorithm>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "agent_limits.h"
#include "diagnostics.h"

namespace kx_agent::smartcard {

ContextGuard::ContextGuard(Pcsc& inner, std::chrono::milliseconds slice,
                           std::chrono::milliseconds grace)
    : ForwardingPcsc(inner), slice_(slice), grace_(grace) {}

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

void ContextGuard::add_user(Entry& entry, uint64_t connection) {
    entry.users.insert(connection);
    if (entry.orphaned) {
        entry.orphaned.reset();
        --held_;
    }
}

void ContextGuard::note_context(Caller caller, SCARDCONTEXT context) {
    if (caller == nullptr) return;
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it != contexts_.end()) add_user(it->second, caller->scope().id());
}

void ContextGuard::note_card(Caller caller, SCARDHANDLE card) {
    if (caller == nullptr) return;
    const uint64_t connection = caller->scope().id();
    std::lock_guard lock(mutex_);
    auto card_it = cards_.find(card);
    if (card_it == cards_.end()) return;
    card_it->second.users.insert(connection);
    auto it = contexts_.find(card_it->second.context);
    if (it != contexts_.end()) add_user(it->second, connection);
}

void ContextGuard::end_own_transactions_before(Caller caller, SCARDCONTEXT context,
                                               const std::string& reader, SCARDHANDLE card) {
    if (caller == nullptr) return;
    const ConnectionScope& scope = caller->scope();
    std::vector<SCARDHANDLE> own;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, entry] : cards_)
            if (handle != card && entry.transaction == scope.id() && entry.reader == reader &&
                (!scope.side_by_side() || entry.context == context))
                own.push_back(handle);
    }
    end_transactions(own);
}

void ContextGuard::end_own_transactions_before(Caller caller, SCARDHANDLE card) {
    if (caller == nullptr) return;
    SCARDCONTEXT context = 0;
    std::string reader;
    {
        std::lock_guard lock(mutex_);
        auto it = cards_.find(card);
        if (it == cards_.end()) return;
        context = it->second.context;
        reader = it->second.reader;
    }
    end_own_transactions_before(caller, context, reader, card);
}

void ContextGuard::end_transactions(const std::vector<SCARDHANDLE>& cards) {
    for (SCARDHANDLE card : cards) {
        // SCARD_LEAVE_CARD: whoever comes next finds the card as it was, as after a client's
        // own EndTransaction.
        inner_.end_transaction(card, SCARD_LEAVE_CARD);
        std::lock_guard lock(mutex_);
        if (auto it = cards_.find(card); it != cards_.end()) it->second.transaction = 0;
    }
}

void ContextGuard::end_transactions(uint64_t connection, std::span<const uint64_t> busy) {
    std::vector<SCARDHANDLE> idle, last;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, entry] : cards_) {
            if (entry.transaction == 0 || !entry.users.contains(connection) ||
                entry.users.size() > 1)
                continue;
            // pcsc-lite runs one call at a time per context: an EndTransaction on a context
            // whose call still runs waits for that call, which may wait for one of the others.
            (std::ranges::find(busy, static_cast<uint64_t>(entry.context)) == busy.end() ? idle : last)
                .push_back(handle);
        }
    }
    end_transactions(idle);
    end_transactions(last);
}

std::size_t ContextGuard::contexts_of_locked(uint64_t connection) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        contexts_, [&](const auto& entry) { return entry.second.users.contains(connection); }));
}

void ContextGuard::forget_locked(SCARDCONTEXT context) {
    auto it = contexts_.find(context);
    if (it == contexts_.end()) return;
    if (it->second.orphaned) --held_;
    contexts_.erase(it);
    marks_.forget(context);
    std::erase_if(cards_, [&](const auto& card) { return card.second.context == context; });
}

void ContextGuard::forget(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    forget_locked(context);
}

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
        for (auto& [card, entry] : cards_) entry.users.erase(connection);
        const auto at = Clock::now();
        for (auto& [context, entry] : contexts_) {
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
        // agent's bound on contexts too (smartcard/pcsc/agent_bounds.h): half of it stays for live pages.
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
            if (entry.orphaned && (!earliest || *entry.orphaned < *earliest)) earliest = entry.orphaned;
        const auto due = *earliest + grace_;
        if (Clock::now() < due) {
            reaper_wake_.wait_until(lock, due);
            continue;
        }
        Orphans expired;
        take_expired_locked(expired);
        lock.unlock();
        release(expired);
        lock.lock();
    }
    reaper_running_ = false;
}

void ContextGuard::use_card(Caller caller, SCARDHANDLE card) {
    note_card(caller, card);
    end_own_transactions_before(caller, card);
}

LONG ContextGuard::establish_context(Caller caller, DWORD scope, SCARDCONTEXT* context) {
    const ConnectionScope* connection = caller != nullptr ? &caller->scope() : nullptr;
    const std::size_t bound = limits().contexts_per_connection;
    Orphans overdue;
    if (connection != nullptr) {
        std::lock_guard lock(mutex_);
        if (!reaper_running_) {
            take_expired_locked(overdue);
            start_reaper_locked();
        }
    }
    release(overdue);
    if (connection != nullptr) {
        std::lock_guard lock(mutex_);
        if (contexts_of_locked(connection->id()) >= bound) return SCARD_E_NO_MEMORY;
    }
    LONG result = inner_.establish_context(scope, context);
    if (result != SCARD_S_SUCCESS || connection == nullptr) return result;
    {
        std::lock_guard lock(mutex_);
        // Establishes side by side on one connection may all have passed the check above.
        if (contexts_of_locked(connection->id()) < bound) {
            forget_locked(*context);  // a value PC/SC hands out again is a new context
            contexts_[*context] = Entry{{connection->id()}, std::nullopt, 0};
            return result;
        }
    }
    inner_.release_context(*context);
    *context = 0;
    return SCARD_E_NO_MEMORY;
}

LONG ContextGuard::release_context(SCARDCONTEXT context) {
    LONG result = inner_.release_context(context);
    forget(context);
    return result;
}

LONG ContextGuard::cancel(Caller caller, SCARDCONTEXT context) {
    note_context(caller, context);
    return inner_.cancel(context);
}

LONG ContextGuard::get_status_change(Caller caller, SCARDCONTEXT context, DWORD timeout,
                                     SCARD_READERSTATE* states, DWORD count) {
    note_context(caller, context);
    return inner_.get_status_change(context, timeout, states, count);
}

LONG ContextGuard::connect(Caller caller, SCARDCONTEXT context, const char* reader,
                           DWORD share_mode, DWORD preferred_protocols, SCARDHANDLE* card,
                           DWORD* active_protocol) {
    note_context(caller, context);
    const std::string name = reader != nullptr ? reader : "";
    end_own_transactions_before(caller, context, name, 0);
    LONG result =
        inner_.connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(mutex_);
        if (contexts_.contains(context)) {
            Card entry{context, name, {}, 0};
            if (caller != nullptr) entry.users.insert(caller->scope().id());
            cards_[*card] = std::move(entry);
        }
    }
    return result;
}

LONG ContextGuard::disconnect(SCARDHANDLE card, DWORD disposition) {
    return disconnect(nullptr, card, disposition);
}

LONG ContextGuard::disconnect(Caller caller, SCARDHANDLE card, DWORD disposition) {
    note_card(caller, card);
    LONG result = inner_.disconnect(card, disposition);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(mutex_);
        cards_.erase(card);
    }
    return result;
}

LONG ContextGuard::begin_transaction(Caller caller, SCARDHANDLE card) {
    use_card(caller, card);
    LONG result = inner_.begin_transaction(card);
    if (result == SCARD_S_SUCCESS && caller != nullptr) {
        std::lock_guard lock(mutex_);
        if (auto it = cards_.find(card); it != cards_.end())
            it->second.transaction = caller->scope().id();
    }
    return result;
}

LONG ContextGuard::end_transaction(SCARDHANDLE card, DWORD disposition) {
    return end_transaction(nullptr, card, disposition);
}

LONG ContextGuard::end_transaction(Caller caller, SCARDHANDLE card, DWORD disposition) {
    note_card(caller, card);
    LONG result = inner_.end_transaction(card, disposition);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(mutex_);
        if (auto it = cards_.find(card); it != cards_.end()) it->second.transaction = 0;
    }
    return result;
}

}  // namespace kx_agent::smartcard
