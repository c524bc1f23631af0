#pragma once
// The WebSocket relay of one connection: each binary message is one call, each call gets one
// reply message.
//
// By default a connection carries out its calls strictly one after another, each answered before
// the next is read. A client that offers flag 01 in its handshake (03 01 01, answered 03 02 01)
// matches replies by CompletionId: its calls then run as soon as the earlier calls on the same
// PC/SC context have completed, calls on different contexts side by side, and each reply is sent
// when it is ready, whole. At most limits().calls_in_flight calls are in flight; beyond that the
// connection is not read until one completes. A call that needs a worker thread when none can be
// started is answered SCARD_E_NO_MEMORY. When the connection ends, the calls still waiting are
// dropped (never run), the running ones cancelled on their contexts and the connection's
// transactions ended, so that a running call that waits for the card goes on; the replies of
// the running calls are dropped.
//
// `guard` is the ContextGuard of the stack whose top `services` holds: the relay tells it which
// connection a call belongs to, and that the client has gone.

#include "smartcard/context_guard.h"
#include "smartcard/services.h"
#include "velkin/http/http.h"

namespace kx_agent::server {

vornic::velkin::http::IoResult<void> relay_calls(vornic::velkin::http::HttpRequest& request,
                                                 smartcard::ContextGuard& guard,
                                                 const smartcard::Services& services);

}  // namespace kx_agent::server
