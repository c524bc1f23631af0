#pragma once
// The WebSocket relay of one connection: each binary message is one call, each call gets one
// reply message.
//
// By default a connection carries out its calls strictly one after another, each answered before
// the next starts. A client that offers flag 01 in its handshake (03 01 01, answered 03 02 01)
// matches replies by CompletionId: its calls then run as soon as the earlier calls on the same
// PC/SC context have completed, calls on different contexts side by side, and each reply is sent
// when it is ready, whole. At most limits().calls_in_flight calls are in flight; beyond that the
// calls read wait their turn, but for a Cancel and an EndTransaction, which run when read (the
// calls in flight may wait for just them). A call that needs a worker thread when none can be
// started is answered SCARD_E_NO_MEMORY (in strict order the connection's own thread carries it
// out).
//
// The connection keeps reading while its calls run, whatever they wait for, so that it sees the
// peer go (a close frame, FIN or reset) at once, and a ping or part of a frame never holds a
// reply back. What it has read and not answered is bounded per connection and over all
// connections (limits().queued_mib_per_connection, limits().queued_mib): beyond either, a call
// read side by side is answered SCARD_E_NO_MEMORY at once, while in strict order the connection
// reads no more until its call completes and watches the socket for the peer's end only. A frame
// stopped half-way while nothing runs, or a frame written that the peer takes none of, count as
// silence: after the idle limit (ping and answer) the connection ends. When the connection ends,
// the calls still waiting are dropped (never run), the running ones cancelled on their contexts
// and the connection's transactions ended, so that a running call that waits for the card goes
// on; the replies of the running calls are dropped.
//
// `guard` is the ContextGuard of the stack whose top `services` holds: the relay tells it which
// connection a call belongs to, and that the client has gone.

#include "smartcard/pcsc/connection_scope.h"
#include "smartcard/calls/services.h"
#include "velkin/http/http.h"

namespace kx_agent::server {

vornic::velkin::http::IoResult<void> relay_calls(vornic::velkin::http::HttpRequest& request,
                                                 smartcard::ContextGuard& guard,
                                                 const smartcard::Services& services);

}  // namespace kx_agent::server
