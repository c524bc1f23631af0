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

ConnectionScope::~ConnectionScope() { guard_.end_connection(id_); }

uint64_t ConnectionScope::arrive() { return next_arrival++; }

void ConnectionScope::end_transactions(std::span<const uint64_t> busy) {
    guard_.end_transactions(id_, busy);
}

bool ConnectionScope::peer_gone() const { return ending_ || (peer_closed_ && peer_closed_()); }

void ConnectionScope::cancel(SCARDCONTEXT context) { calls_.cancel(context); }

ConnectionScope::Call::Call(ConnectionScope& scope, uint64_t arrival)
    : CallRecord(scope), SlicedWaits(record, scope.guard_, scope.guard_.slice(), arrival, [&scope] {
          return scope.peer_gone();
      }) {}

}  // namespace kx_agent::smartcard
