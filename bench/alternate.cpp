#include "bench/alternate.h"

#include <algorithm>

#include "bench/processes.h"

namespace kx_agent::bench {

std::vector<double> Alternation::ratios() const {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(agent.size(), relay.size()); ++i)
        if (relay[i] > 0) ratios.push_back(agent[i] / relay[i]);
    return ratios;
}

namespace {

std::optional<double> per_call_over(const ServerCost& agent, const ServerCost& relay,
                                    double ServerCost::*field) {
    if (agent.units == 0 || relay.units == 0) return std::nullopt;
    return agent.*field / static_cast<double>(agent.units) -
           relay.*field / static_cast<double>(relay.units);
}

}  // namespace

std::optional<double> Alternation::user_over_relay() const {
    return per_call_over(agent_cost, relay_cost, &ServerCost::user_us);
}

std::optional<double> Alternation::cpu_over_relay() const {
    return per_call_over(agent_cost, relay_cost, &ServerCost::cpu_us);
}

Alternation run_alternating(const WorkloadFactory& agent, const WorkloadFactory& relay,
                            std::size_t connections, const WindowPlan& plan, pid_t agent_server,
                            pid_t relay_server) {
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
    const pid_t servers[] = {agent_server, relay_server};
    ServerCost* costs[] = {&result.agent_cost, &result.relay_cost};
    // The first window of each path warms its threads, connections and caches, and is not kept.
    const auto warmup = std::min(plan.length, std::chrono::milliseconds(200));
    for (std::size_t window = 0; window <= plan.windows; ++window) {
        // Agent, relay, relay, agent, ...: a load that rises or falls through a pair of
        // windows favours each path as often as the other.
        for (std::size_t turn = 0; turn < 2; ++turn) {
            const std::size_t p = window % 2 == 0 ? turn : 1 - turn;
            const CpuMark mark(window > 0 ? servers[p] : 0);
            Throughput done = drive_for(paths[p], window == 0 ? warmup : plan.length);
            if (done.error) {
                result.error = (p == 0 ? "through agent: " : "bare relay: ") + *done.error;
                return result;
            }
            if (window == 0) continue;
            figures[p]->push_back(done.per_second);
            if (servers[p] > 0) {
                const CpuSpent spent = mark.since();
                costs[p]->units += done.units;
                costs[p]->user_us += spent.user_us;
                costs[p]->cpu_us += spent.all_us;
            }
        }
    }
    return result;
}

}  // namespace kx_agent::bench
