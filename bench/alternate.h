#pragma once
// The agent against the bare relay in windows that take turns: the same number of connections
// open on each path for the whole run, driven for a short window on one path, then on the
// other, and so on, so that the load of the machine, which moves over seconds, falls on both
// alike. Each pair of neighbouring windows gives one ratio.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "bench/measure.h"

namespace kx_agent::bench {

struct WindowPlan {
    std::size_t windows = 8;  // per path
    std::chrono::milliseconds length{500};
};

// What a path's server spent over all of the path's kept windows.
struct ServerCost {
    uint64_t units = 0;
    double user_us = 0;  // user CPU, sampled by the kernel at its clock tick
    double cpu_us = 0;   // CPU time of the threads, exact (schedstat)
};

struct Alternation {
    // Calls per second, window by window, in the order they ran.
    std::vector<double> agent, relay;
    // The servers' CPU over the same windows (empty when their processes were not named).
    ServerCost agent_cost, relay_cost;
    std::optional<std::string> error;
    // Agent over relay for each pair of windows.
    std::vector<double> ratios() const;
    // Per call, the agent's server over the relay's: user CPU and all CPU, in microseconds
    // (none without units on both paths). The windows take turns, so a load that moves over
    // seconds falls on both alike, and the sums over all windows smooth the tick's sampling.
    std::optional<double> user_over_relay() const;
    std::optional<double> cpu_over_relay() const;
};

// `connections` workloads of each path, each keeping one call in flight; after one untimed window
// of each, the windows go in pairs, agent then relay, relay then agent, and so on. The CPU of
// `agent_server` and `relay_server` is read around each kept window (0: not read).
Alternation run_alternating(const WorkloadFactory& agent, const WorkloadFactory& relay,
                            std::size_t connections, const WindowPlan& plan, pid_t agent_server = 0,
                            pid_t relay_server = 0);

}  // namespace kx_agent::bench
