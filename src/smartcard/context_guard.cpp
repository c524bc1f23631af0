#include "smartcard/context_guard.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <iostream>
#include <map>
#include <syncstream>
#include <vector>

#include "smartcard/card_cache.h"

namespace kx_agent::smartcard {
namespace {

thread_local ConnectionScope* current_scope = nullptr;
std::atomic<uint64_t> next_connection_id{1};

}  // namespace

ConnectionScope::ConnectionScope(ContextGuard& guard, vornic::velkin::net::sys::Socket socket)
    : guard_(guard), socket_(socket), id_(next_connection_id++), previous_(current_scope) {
    current_scope = this;
}

ConnectionScope::~ConnectionScope() {
    // A scope belongs to the thread that made it (the relay's connection thread). Ended on any
    // other thread, it must not take that thread's own scope away.
    if (current_scope == this) current_scope = previous_;
    guard_.end_connection(id_);
}

ConnectionScope::Binding::Binding(ConnectionScope& scope) : previous_(current_scope) {
    current_scope = &scope;
}

ConnectionScope::Binding::~Binding() { current_scope = previous_; }

ConnectionScope* ConnectionScope::current() { return current_scope; }

bool ConnectionScope::peer_gone() const {
    if (ending_) return true;
    if (socket_ == vornic::velkin::net::sys::kInvalidSocket) return false;
    return vornic::velkin::net::sys::peer_closed(socket_);
}

ContextGuard::ContextGuard(Pcsc& inner, std::chrono::milliseconds slice,
                           std::chrono::milliseconds grace)
    : inner_(inner), slice_(slice), grace_(grace) {}

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

void ContextGuard::note_context(SCARDCONTEXT context) {
    ConnectionScope* scope = ConnectionScope::current();
    if (scope == nullptr) return;
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it != contexts_.end()) add_user(it->second, scope->id());
}

void ContextGuard::note_card(SCARDHANDLE card) {
    ConnectionScope* scope = ConnectionScope::current();
    if (scope == nullptr) return;
    std::lock_guard lock(mutex_);
    auto card_it = cards_.find(card);
    if (card_it == cards_.end()) return;
    auto it = contexts_.find(card_it->second);
    if (it != contexts_.end()) add_user(it->second, scope->id());
}

void ContextGuard::forget_locked(SCARDCONTEXT context) {
    auto it = contexts_.find(context);
    if (it == contexts_.end()) return;
    if (it->second.orphaned) --held_;
    contexts_.erase(it);
    std::erase_if(cards_, [&](const auto& card) { return card.second == context; });
}

void ContextGuard::forget(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    forget_locked(context);
}

bool ContextGuard::take_cancel(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it == contexts_.end()) return false;
    return std::exchange(it->second.cancel_pending, false);
}

void ContextGuard::release(const Orphans& orphans) {
    std::map<uint64_t, std::size_t> per_connection;
    for (auto [connection, context] : orphans) {
        inner_.cancel(context);
        inner_.release_context(context);
        card_cache().forget_context(context);
        ++per_connection[connection];
    }
    for (auto [connection, released] : per_connection)
        std::osyncstream(std::cout) << "Connection closed: released " << released
                                    << " PC/SC context" << (released == 1 ? "" : "s")
                                    << " it left behind." << std::endl;
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
        // Beyond the bound, the contexts held longest go first.
        while (held_ > kMaxHeld) {
            auto oldest = contexts_.end();
            for (auto it = contexts_.begin(); it != contexts_.end(); ++it)
                if (it->second.orphaned &&
                    (oldest == contexts_.end() || *it->second.orphaned < *oldest->second.orphaned))
                    oldest = it;
            now.emplace_back(oldest->second.last_user, oldest->first);
            forget_locked(oldest->first);
        }
        for (auto [_, context] : now) forget_locked(context);
        if (held_ > 0 && !reaper_running_ && !stopping_) {
            // The previous reaper has left its loop (it cleared the flag under this lock) and
            // needs the lock no more: joining it here is brief.
            if (reaper_.joinable()) reaper_.join();
            reaper_running_ = true;
            start_reaper = true;
            reaper_ = std::thread([this] { reap(); });
        }
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
        const auto now = Clock::now();
        for (const auto& [context, entry] : contexts_)
            if (entry.orphaned && *entry.orphaned + grace_ <= now)
                expired.emplace_back(entry.last_user, context);
        for (auto [_, context] : expired) forget_locked(context);
        lock.unlock();
        release(expired);
        lock.lock();
    }
    reaper_running_ = false;
}

LONG ContextGuard::establish_context(DWORD scope, SCARDCONTEXT* context) {
    LONG result = inner_.establish_context(scope, context);
    ConnectionScope* connection = ConnectionScope::current();
    if (result == SCARD_S_SUCCESS && connection != nullptr) {
        std::lock_guard lock(mutex_);
        forget_locked(*context);  // a value PC/SC hands out again is a new context
        contexts_[*context] = Entry{{connection->id()}, false, std::nullopt, 0};
    }
    return result;
}

LONG ContextGuard::release_context(SCARDCONTEXT context) {
    LONG result = inner_.release_context(context);
    forget(context);
    return result;
}

LONG ContextGuard::is_valid_context(SCARDCONTEXT context) {
    note_context(context);
    return inner_.is_valid_context(context);
}

LONG ContextGuard::cancel(SCARDCONTEXT context) {
    note_context(context);
    {
        std::lock_guard lock(mutex_);
        auto it = contexts_.find(context);
        if (it != contexts_.end()) it->second.cancel_pending = true;
    }
    return inner_.cancel(context);
}

LONG ContextGuard::list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) {
    note_context(context);
    return inner_.list_reader_groups(context, groups, length);
}

LONG ContextGuard::list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                                DWORD* length) {
    note_context(context);
    return inner_.list_readers(context, groups, readers, length);
}

LONG ContextGuard::get_status_change(SCARDCONTEXT context, DWORD timeout,
                                     SCARD_READERSTATE* states, DWORD count) {
    note_context(context);
    ConnectionScope* connection = ConnectionScope::current();
    if (connection == nullptr || timeout == 0) return inner_.get_status_change(context, timeout, states, count);

    using clock = std::chrono::steady_clock;
    const bool forever = timeout == INFINITE;
    const auto deadline = clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
    take_cancel(context);
    for (;;) {
        auto slice = slice_;
        if (!forever) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            slice = std::clamp(left, std::chrono::milliseconds(1), slice_);
        }
        LONG result = inner_.get_status_change(context, static_cast<DWORD>(slice.count()), states, count);
        if (result != SCARD_E_TIMEOUT) return result;
        if (!forever && clock::now() >= deadline) return result;
        // A cancel that came while no slice was running, or a client that has gone.
        if (take_cancel(context) || connection->peer_gone()) return SCARD_E_CANCELLED;
    }
}

LONG ContextGuard::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                           DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) {
    note_context(context);
    LONG result =
        inner_.connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(mutex_);
        if (contexts_.contains(context)) cards_[*card] = context;
    }
    return result;
}

LONG ContextGuard::reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                             DWORD initialization, DWORD* active_protocol) {
    note_card(card);
    return inner_.reconnect(card, share_mode, preferred_protocols, initialization, active_protocol);
}

LONG ContextGuard::disconnect(SCARDHANDLE card, DWORD disposition) {
    note_card(card);
    LONG result = inner_.disconnect(card, disposition);
    if (result == SCARD_S_SUCCESS) {
        std::lock_guard lock(mutex_);
        cards_.erase(card);
    }
    return result;
}

LONG ContextGuard::begin_transaction(SCARDHANDLE card) {
    note_card(card);
    return inner_.begin_transaction(card);
}

LONG ContextGuard::end_transaction(SCARDHANDLE card, DWORD disposition) {
    note_card(card);
    return inner_.end_transaction(card, disposition);
}

LONG ContextGuard::status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state,
                          DWORD* protocol, BYTE* atr, DWORD* atr_length) {
    note_card(card);
    return inner_.status(card, names, names_length, state, protocol, atr, atr_length);
}

LONG ContextGuard::free_memory(SCARDCONTEXT context, const void* memory) {
    return inner_.free_memory(context, memory);
}

LONG ContextGuard::transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                            DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                            DWORD* recv_length) {
    note_card(card);
    return inner_.transmit(card, send_pci, send, send_length, recv_pci, recv, recv_length);
}

LONG ContextGuard::control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length,
                           void* out, DWORD out_length, DWORD* bytes_returned) {
    note_card(card);
    return inner_.control(card, control_code, in, in_length, out, out_length, bytes_returned);
}

LONG ContextGuard::get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) {
    note_card(card);
    return inner_.get_attrib(card, attr_id, attr, attr_length);
}

LONG ContextGuard::set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr,
                              DWORD attr_length) {
    note_card(card);
    return inner_.set_attrib(card, attr_id, attr, attr_length);
}

}  // namespace kx_agent::smartcard
