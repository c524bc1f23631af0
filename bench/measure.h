#pragma once
// Timing of workloads: latency samples taken with the paths interleaved (so that a drift of the
// machine touches every path alike), and calls per second over several connections at once.
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/workloads.h"

namespace kx_agent::bench {

struct Summary {
    double median_us = 0;
    double p99_us = 0;
    std::size_t samples = 0;
};

Summary summarize(std::vector<double> nanoseconds);

struct Latency {
    std::vector<double> nanoseconds;  // one per timed unit
    std::optional<std::string> error;
};

struct RoundPlan {
    std::size_t warmup = 200;  // untimed units per path before the first round
    std::size_t rounds = 5;
    std::size_t per_round = 400;
};

// Times every workload `plan.rounds` times `plan.per_round` units, the paths taking turns unit
// by unit. A null workload is skipped; one that fails stops with its error.
std::vector<Latency> time_interleaved(const std::vector<Workload*>& paths, const RoundPlan& plan);

using WorkloadFactory = std::function<std::expected<std::unique_ptr<Workload>, std::string>()>;

struct Throughput {
    double per_second = 0;
    uint64_t units = 0;  // completed in the window
    std::optional<std::string> error;
};

// Each workload driven by a thread of its own with one call in flight, for `duration`; the units
// they completed per second in all.
Throughput drive_for(const std::vector<Workload*>& workloads, std::chrono::milliseconds duration);

// `count` workloads made one after another; the first failure stops it.
std::expected<std::vector<std::unique_ptr<Workload>>, std::string> make_workloads(
    const WorkloadFactory& make, std::size_t count);
std::vector<Workload*> raw(const std::vector<std::unique_ptr<Workload>>& workloads);

// `connections` workloads made up front, each driven by a thread of its own with one call in
// flight, for `duration`; the units they completed per second in all.
Throughput run_throughput(const WorkloadFactory& make, std::size_t connections,
                          std::chrono::milliseconds duration);

}  // namespace kx_agent::bench
