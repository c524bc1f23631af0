#include "smartcard/pcsc/connection_scope.h"

#include <atomic>
#include <utility>

namespace kx_agent::smartcard {
namespace {

std::atomic<uint64_t> next_connection_id{1};
std::atomic<uint64_t> next_arrival{1};

}  // namespace

ConnectionScope::ConnectionScope(ContextGuard& guard, std::function<bool()> peer_closed)
    : guard_(guard), peer_closed_(std::move(peer_closed)), id_(next_connection_id++) {}

ConnectionScope::~ConnectionScope() {
    guard_.transactions().end_connection(id_);
    guard_.end_connection(id_);
}

uint64_t ConnectionScope::arrive() { return next_arrival++; }

void ConnectionScope::end_transactions(std::span<const uint64_t> busy) {
    guard_.transactions().end_transactions(id_, busy);
}

bool ConnectionScope::peer_gone() const { return ending_ || (peer_closed_ && peer_closed_()); }

void ConnectionScope::cancel(SCARDCONTEXT context) { calls_.cancel(context); }

ConnectionScope::CallLayers::CallLayers(ConnectionScope& scope, uint64_t arrival)
    : to_guard(scope.guard_, scope),
      transactions(scope.guard_.transactions(), to_guard, scope),
      waits(transactions, scope.guard_.marks(), scope.guard_.slice(), arrival,
            [&scope] { return scope.peer_gone(); }) {}

// As a Pcsc: a ContextGuard would pick ForwardingPcsc's copy constructor, a layer over the
// guard's own service.
ConnectionScope::ToGuard::ToGuard(ContextGuard& guard, const ConnectionScope& scope)
    : ForwardingPcsc(static_cast<Pcsc&>(guard)), guard_(guard), scope_(scope) {}

LONG ConnectionScope::ToGuard::establish_context(DWORD scope, SCARDCONTEXT* context) {
    return guard_.establish_context(scope_.id(), scope, context);
}
LONG ConnectionScope::ToGuard::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                                       DWORD preferred_protocols, SCARDHANDLE* card,
                                       DWORD* active_protocol) {
    return guard_.connect(scope_.id(), context, reader, share_mode, preferred_protocols, card,
                          active_protocol);
}
LONG ConnectionScope::ToGuard::disconnect(SCARDHANDLE card, DWORD disposition) {
    return guard_.disconnect(scope_.id(), card, disposition);
}
void ConnectionScope::ToGuard::use_context(SCARDCONTEXT context) {
    guard_.note_context(scope_.id(), context);
}
void ConnectionScope::ToGuard::use_card(SCARDHANDLE card) { guard_.note_card(scope_.id(), card); }

}  // namespace kx_agent::smartcard
