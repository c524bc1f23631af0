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

void ContextGuard::note_context(uint64_t connection, SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it != contexts_.end()) add_user(it->second, connection);
}

void ContextGuard::note_card(uint64_t connection, SCARDHANDLE card) {
    std::lock_guard lock(mutex_);
    auto card_it = cards_.find(card);
    if (card_it == cards_.end()) return;
    auto it = contexts_.find(card_it->second);
    if (it != contexts_.end()) add_user(it->second, connection);
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
    std::erase_if(cards_, [&](const auto& card) { return card.second == context; });
    transactions_.forget_context(context);
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
    Orphans now;
    bool start_reaper = false;
    {
        std::lock_guard lock(mutex_);
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
            if (entry.orphaned && (!earliest || *entry.orphaned < *earliest))
                earliest = entry.orphaned;
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

LONG ContextGuard::establish_context(uint64_t connection, DWORD scope, SCARDCONTEXT* context) {
    const std::size_t bound = limits().contexts_per_connection;
    Orphans overdue;
    {
        std::lock_guard lock(mutex_);
        if (!reaper_running_) {
            take_expired_locked(overdue);
            start_reaper_locked();
        }
    }
    release(overdue);
    {
        std::lock_guard lock(mutex_);
        if (contexts_of_locked(connection) >= bound) return SCARD_E_NO_MEMORY;
    }
    LONG result = inner_.establish_context(scope, context);
    if (result != SCARD_S_SUCCESS) return result;
    {
        std::lock_guard lock(mutex_);
        // Establishes side by side on one connection may all have passed the check above.
        if (contexts_of_locked(connection) < bound) {
            forget_locked(*context);  // a value PC/SC hands out again is a new context
            contexts_[*context] = Entry{{connection}, std::nullopt, 0};
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

LONG ContextGuard::connect(uint64_t connection, SCARDCONTEXT context, const char* reader,
                           DWORD share_mode, DWORD preferred_protocols, SCARDHANDLE* card,
                           DWORD* active_protocol) {
    note_context(connection, context);
    LONG result =
        inner_.connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(mutex_);
        if (contexts_.contains(context)) cards_[*card] = context;
    }
    return result;
}

LONG ContextGuard::disconnect(SCARDHANDLE card, DWORD disposition) {
    LONG result = inner_.disconnect(card, disposition);
    if (result == SCARD_S_SUCCESS) {
        {
            std::lock_guard lock(mutex_);
            cards_.erase(card);
        }
        transactions_.forget_card(card);
    }
    return result;
}

LONG ContextGuard::disconnect(uint64_t connection, SCARDHANDLE card, DWORD disposition) {
    note_card(connection, card);
    return disconnect(card, disposition);
}

}  // namespace kx_agent::smartcard
