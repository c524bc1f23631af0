#pragma once
// The agent against the bare relay in windows that take turns: the same number of connections
// open on each path for the whole run, driven for a short window on one path, then on the
// other, and so on, so that the load of the machine, which moves over seconds, falls on both
// alike. Each pair of neighbouring windows gives one ratio.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bench/measure.h"

namespace kx_agent::bench {

struct WindowPlan {
    std::size_t windows = 8;  // per path
    std::chrono::milliseconds length{500};
};

struct Alternation {
    // Calls per second, window by window, in the order they ran.
    std::vector<double> agent, relay;
    std::optional<std::string> error;
    // Agent over relay for each pair of windows.
    std::vector<double> ratios() const;
};

// `connections` workloads of each path, each keeping one call in flight; after one untimed window
// of each, the windows go in pairs, agent then relay, relay then agent, and so on.
Alternation run_alternating(const WorkloadFactory& agent, const WorkloadFactory& relay,
                            std::size_t connections, const WindowPlan& plan);

}  // namespace kx_agent::bench
