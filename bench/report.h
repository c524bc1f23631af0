#pragma once
// The figures of one benchmark run and the tables they are printed in, with the targets.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/alternate.h"
#include "bench/codec.h"
#include "bench/measure.h"
#include "bench/syscalls.h"
#include "bench/workloads.h"

namespace kx_agent::bench {

struct PathFigure {
    std::optional<Summary> summary;
    std::optional<std::string> note;  // why there is no figure, or what it shows instead
};

struct CallFigures {
    CallInfo call;
    PathFigure direct, agent, echo;
    // The bare relay: the echo server making the direct call on its connection thread before
    // each reply.
    PathFigure relay;
    std::optional<std::string> placeholder;          // the agent's handler is not carried out yet
    std::size_t request_bytes = 0, reply_bytes = 0;  // summed over the unit's messages
    std::size_t messages = 0;
    // Calls per second by number of connections.
    std::map<std::size_t, Throughput> direct_rate, agent_rate, echo_rate;
};

// Strict-order calls per second through the agent and the bare relay, in windows that take turns,
// by number of connections.
struct AlternateFigures {
    CallInfo call;
    std::map<std::size_t, Alternation> by_connections;
    std::optional<std::string> note;
};

struct MemoryFigure {
    std::string label;
    std::size_t connections = 0;
    std::map<std::string, std::size_t> status;  // VmRSS, RssAnon, RssFile (KiB), Threads
};

struct Report {
    std::vector<CodecFigure> codec;
    std::vector<CallFigures> calls;
    // Idle at start first, then idle after one connection has come and gone (the base of the
    // per-connection figures: the code and arenas that any first connection touches are in),
    // then with idle connections open.
    std::vector<MemoryFigure> memory;
    std::optional<std::string> memory_note;
    std::vector<std::size_t> connection_counts;
    // ListReaders per second over one connection with that many contexts busy at once, the
    // connection taking replies in any order, and the same load kept in strict order.
    std::map<std::size_t, Throughput> side_by_side, in_order;
    WindowPlan window_plan;
    std::vector<AlternateFigures> alternating;
    // System calls of the server per strict-order ListReaders, through the agent and the bare
    // relay; a note says why a count was not taken.
    std::optional<SyscallFigure> agent_syscalls, relay_syscalls;
    std::vector<std::string> syscall_notes;
    std::vector<std::string> notes;
};

// Prints every table and the targets; returns the number of targets missed.
int print_report(const Report& report);

}  // namespace kx_agent::bench
