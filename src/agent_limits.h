#pragma once
// The bounds that keep one page, or many, from taking the agent or the PC/SC service for
// themselves. Each has a default that suits one remote-desktop session per page; a deployer may
// change them (see the README's "Limits").
#include <cstddef>

namespace kx_agent {

struct Limits {
    // PC/SC contexts one connection may hold at once; beyond that SCARD_E_NO_MEMORY.
    std::size_t contexts_per_connection = 32;
    // PC/SC contexts held through the agent by all connections together, and card handles on one
    // context and in all; beyond them SCARD_E_NO_MEMORY (pcscd's 200 contexts must leave room for
    // the other programs of the computer).
    std::size_t contexts = 64;
    std::size_t cards_per_context = 16;
    std::size_t cards = 128;
    // Calls in flight on one connection that takes replies in any order; the calls read beyond
    // it wait their turn. A Cancel runs when read, up to as many again, and so does an
    // EndTransaction while no call read before it on its context is still waiting.
    std::size_t calls_in_flight = 64;
    // MiB of the calls read and not yet answered (each counted as at least 256 bytes) that one
    // connection, and all together, may hold. A connection that takes replies in any order is
    // answered SCARD_E_NO_MEMORY for a call beyond either, at once; one in strict order reads
    // no more until its call completes. A connection's only call is never refused.
    std::size_t queued_mib_per_connection = 4;
    std::size_t queued_mib = 64;
    // Connections open at once; beyond that a new one is closed at once.
    std::size_t connections = 256;
    // Seconds a client may take to send its whole request head.
    unsigned head_seconds = 10;
    // Seconds a WebSocket may stay without a message, a call or a wait before it is pinged and
    // then closed.
    unsigned idle_seconds = 300;
    // The longest a pinged WebSocket has to answer before it is closed.
    unsigned idle_answer_seconds = 30;
};

// The limits in force; set once at start-up, before the server accepts connections.
const Limits& limits();
void set_limits(const Limits& value);

// Takes the limits from the environment: TOLVANE_MAX_CONNECTIONS, TOLVANE_HEAD_SECONDS,
// TOLVANE_IDLE_SECONDS, TOLVANE_CONTEXTS_PER_CONNECTION, TOLVANE_MAX_CONTEXTS,
// TOLVANE_CARDS_PER_CONTEXT, TOLVANE_MAX_CARDS, TOLVANE_CALLS_IN_FLIGHT,
// TOLVANE_QUEUED_MIB_PER_CONNECTION and TOLVANE_MAX_QUEUED_MIB, each a whole number;
// a value that is not one (or out of its range) is named on standard error and the
// default stays. Called once by the server's start-up.
void read_limits_from_environment();

}  // namespace kx_agent
