// A relay connection's way into the context guard (smartcard/pcsc/context_guard.h): its scope,
// and the layers of each of its calls.
#include <atomic>
#include <utility>

#include "smartcard/pcsc/context_guard.h"

namespace kx_agent::smartcard {
namespace {

std::atomic<uint64_t> next_connection_id{1};
std::atomic<uint64_t> next_arrival{1};

}  // namespace

ConnectionScope::ConnectionScope(ContextGuard& guard, std::function<bool()> peer_closed)
    : guard_(guard), peer_closed_(std::move(peer_closed)), id_(next_connection_id++) {}

ConnectionScope::~ConnectionScope() { guard_.end_connection(id_); }

uint64_t ConnectionScope::arrive() { return next_arrival++; }

void ConnectionScope::end_transactions(std::span<const uint64_t> busy) {
    guard_.end_transactions(id_, busy);
}

bool ConnectionScope::peer_gone() const { return ending_ || (peer_closed_ && peer_closed_()); }

void ConnectionScope::cancel(SCARDCONTEXT context) { calls_.cancel(context); }

ConnectionScope::Call::Call(ConnectionScope& scope, uint64_t arrival)
    // As a Pcsc: a ContextGuard would pick ForwardingPcsc's copy constructor, a layer over the
    // guard's own service.
    : ForwardingPcsc(static_cast<Pcsc&>(scope.guard_)),
      guard_(scope.guard_),
      scope_(scope),
      waits_(to_guard_, guard_.marks(), guard_.slice(), arrival,
             [&scope] { return scope.peer_gone(); }) {}

LONG ConnectionScope::Call::establish_context(DWORD scope, SCARDCONTEXT* context) {
    return guard_.establish_context(this, scope, context);
}
LONG ConnectionScope::Call::release_context(SCARDCONTEXT context) {
    return waits_.release_context(context);
}
LONG ConnectionScope::Call::cancel(SCARDCONTEXT context) { return waits_.cancel(context); }
LONG ConnectionScope::Call::get_status_change(SCARDCONTEXT context, DWORD timeout,
                                              SCARD_READERSTATE* states, DWORD count) {
    return waits_.get_status_change(context, timeout, states, count);
}

ConnectionScope::Call::ToGuard::ToGuard(Call& call)
    : ForwardingPcsc(static_cast<Pcsc&>(call.guard_)), call_(call) {}
LONG ConnectionScope::Call::ToGuard::cancel(SCARDCONTEXT context) {
    return call_.guard_.cancel(&call_, context);
}
LONG ConnectionScope::Call::ToGuard::get_status_change(SCARDCONTEXT context, DWORD timeout,
                                                       SCARD_READERSTATE* states, DWORD count) {
    return call_.guard_.get_status_change(&call_, context, timeout, states, count);
}
LONG ConnectionScope::Call::ToGuard::release_context(SCARDCONTEXT context) {
    return call_.guard_.release_context(context);
}
LONG ConnectionScope::Call::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                                    DWORD preferred_protocols, SCARDHANDLE* card,
                                    DWORD* active_protocol) {
    return guard_.connect(this, context, reader, share_mode, preferred_protocols, card,
                          active_protocol);
}
LONG ConnectionScope::Call::disconnect(SCARDHANDLE card, DWORD disposition) {
    return guard_.disconnect(this, card, disposition);
}
LONG ConnectionScope::Call::begin_transaction(SCARDHANDLE card) {
    return guard_.begin_transaction(this, card);
}
LONG ConnectionScope::Call::end_transaction(SCARDHANDLE card, DWORD disposition) {
    return guard_.end_transaction(this, card, disposition);
}
void ConnectionScope::Call::use_context(SCARDCONTEXT context) { guard_.note_context(this, context); }
void ConnectionScope::Call::use_card(SCARDHANDLE card) { guard_.use_card(this, card); }

}  // namespace kx_agent::smartcard
