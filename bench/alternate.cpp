#include "bench/alternate.h"

#include <algorithm>

namespace kx_agent::bench {

std::vector<double> Alternation::ratios() const {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(agent.size(), relay.size()); ++i)
        if (relay[i] > 0) ratios.push_back(agent[i] / relay[i]);
    return ratios;
}

Alternation run_alternating(const WorkloadFactory& agent, const WorkloadFactory& relay,
                            std::size_t connections, const WindowPlan& plan) {
    Alternation result;
    auto agents = make_workloads(agent, connections);
    if (!agents) {
        result.error = "through agent: " + agents.error();
        return result;
    }
    auto relays = make_workloads(relay, connections);
    if (!relays) {
        result.error = "bare relay: " + relays.error();
        return result;
    }
    const std::vector<Workload*> paths[] = {raw(*agents), raw(*relays)};
    std::vector<double>* figures[] = {&result.agent, &result.relay};
    // The first window of each path warms its threads, connections and caches, and is not kept.
    const auto warmup = std::min(plan.length, std::chrono::milliseconds(200));
    for (std::size_t window = 0; window <= plan.windows; ++window) {
        // Agent, relay, relay, agent, ...: a load that rises or falls through a pair of
        // windows favours each path as often as the other.
        for (std::size_t turn = 0; turn < 2; ++turn) {
            const std::size_t p = window % 2 == 0 ? turn : 1 - turn;
            Throughput done = drive_for(paths[p], window == 0 ? warmup : plan.length);
            if (done.error) {
                result.error = (p == 0 ? "through agent: " : "bare relay: ") + *done.error;
                return result;
            }
            if (window > 0) figures[p]->push_back(done.per_second);
        }
    }
    return result;
}

}  // namespace kx_agent::bench
