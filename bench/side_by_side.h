#pragma once
// Calls per second over one WebSocket connection that keeps several calls in flight, one per
// context: the way a remote-desktop session uses its one bridge.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "bench/measure.h"

namespace kx_agent::bench {

// `contexts` contexts established over one connection, each keeping one ListReaders call in
// flight for `duration`; with `any_order` the connection's handshake asks for replies in any
// order (03 01 01), without it the connection keeps strict order (03 01) and serves the same
// calls one after another. The calls answered per second.
Throughput run_side_by_side(uint16_t port, std::size_t contexts, bool any_order,
                            std::chrono::milliseconds duration);

}  // namespace kx_agent::bench
