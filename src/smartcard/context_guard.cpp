#include "smartcard/context_guard.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <iostream>
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
    std::size_t released = guard_.end_connection(id_);
    if (released > 0)
        std::osyncstream(std::cout) << "Connection closed: released " << released
                                    << " PC/SC context" << (released == 1 ? "" : "s")
                                    << " it left behind." << std::endl;
}

ConnectionScope* ConnectionScope::current() { return current_scope; }

bool ConnectionScope::peer_gone() const {
    if (socket_ == vornic::velkin::net::sys::kInvalidSocket) return false;
    return vornic::velkin::net::sys::peer_closed(socket_);
}

ContextGuard::ContextGuard(Pcsc& inner, std::chrono::milliseconds slice)
    : inner_(inner), slice_(slice) {}

std::size_t ContextGuard::known_contexts() const {
    std::lock_guard lock(mutex_);
    return contexts_.size();
}

void ContextGuard::note_context(SCARDCONTEXT context) {
    ConnectionScope* scope = ConnectionScope::current();
    if (scope == nullptr) return;
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it != contexts_.end()) it->second.users.insert(scope->id());
}

void ContextGuard::note_card(SCARDHANDLE card) {
    ConnectionScope* scope = ConnectionScope::current();
    if (scope == nullptr) return;
    std::lock_guard lock(mutex_);
    auto card_it = cards_.find(card);
    if (card_it == cards_.end()) return;
    auto it = contexts_.find(card_it->second);
    if (it != contexts_.end()) it->second.users.insert(scope->id());
}

void ContextGuard::forget(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    contexts_.erase(context);
    std::erase_if(cards_, [&](const auto& card) { return card.second == context; });
}

bool ContextGuard::take_cancel(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(context);
    if (it == contexts_.end()) return false;
    return std::exchange(it->second.cancel_pending, false);
}

std::size_t ContextGuard::end_connection(uint64_t connection) {
    std::vector<SCARDCONTEXT> orphans;
    {
        std::lock_guard lock(mutex_);
        for (auto& [context, entry] : contexts_) {
            if (entry.users.erase(connection) == 1 && entry.users.empty())
                orphans.push_back(context);
        }
    }
    for (SCARDCONTEXT context : orphans) {
        inner_.cancel(context);
        inner_.release_context(context);
        card_cache().forget_context(context);
        forget(context);
    }
    return orphans.size();
}

LONG ContextGuard::establish_context(DWORD scope, SCARDCONTEXT* context) {
    LONG result = inner_.establish_context(scope, context);
    ConnectionScope* connection = ConnectionScope::current();
    if (result == SCARD_S_SUCCESS && connection != nullptr) {
        std::lock_guard lock(mutex_);
        contexts_[*context] = Entry{{connection->id()}, false};
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
