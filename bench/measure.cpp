#include "bench/measure.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cmath>
#include <thread>

namespace kx_agent::bench {
namespace {

using Clock = std::chrono::steady_clock;

double at_fraction(const std::vector<double>& sorted, double fraction) {
    // Nearest rank: the smallest sample with at least `fraction` of them at or below it.
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

Summary summarize(std::vector<double> nanoseconds) {
    Summary summary;
    summary.samples = nanoseconds.size();
    if (nanoseconds.empty()) return summary;
    std::sort(nanoseconds.begin(), nanoseconds.end());
    summary.median_us = at_fraction(nanoseconds, 0.5) / 1000.0;
    summary.p99_us = at_fraction(nanoseconds, 0.99) / 1000.0;
    return summary;
}

std::vector<Latency> time_interleaved(const std::vector<Workload*>& paths, const RoundPlan& plan) {
    std::vector<Latency> results(paths.size());
    for (std::size_t p = 0; p < paths.size(); ++p) {
        if (paths[p] == nullptr) continue;
        results[p].nanoseconds.reserve(plan.rounds * plan.per_round);
        for (std::size_t i = 0; i < plan.warmup && !results[p].error; ++i)
            if (auto done = paths[p]->once(); !done) results[p].error = done.error();
    }
    // The paths take turns unit by unit, so that a burst of other work on the machine falls on
    // all of them alike; each round starts with another path.
    for (std::size_t round = 0; round < plan.rounds; ++round) {
        for (std::size_t i = 0; i < plan.per_round; ++i) {
            for (std::size_t turn = 0; turn < paths.size(); ++turn) {
                const std::size_t p = (turn + round) % paths.size();
                if (paths[p] == nullptr || results[p].error) continue;
                auto start = Clock::now();
                auto done = paths[p]->once();
                auto stop = Clock::now();
                if (!done) {
                    results[p].error = done.error();
                    continue;
                }
                results[p].nanoseconds.push_back(
                    std::chrono::duration<double, std::nano>(stop - start).count());
            }
        }
    }
    return results;
}

Throughput drive_for(const std::vector<Workload*>& workloads, std::chrono::milliseconds duration) {
    Throughput result;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> completed{0};
    std::atomic<bool> failed{false};
    std::string failure;
    std::barrier start(static_cast<std::ptrdiff_t>(workloads.size() + 1));
    std::vector<std::thread> drivers;
    for (Workload* workload : workloads) {
        drivers.emplace_back([&, workload] {
            uint64_t mine = 0;
            start.arrive_and_wait();
            while (!stop.load(std::memory_order_relaxed)) {
                auto done = workload->once();
                if (!done) {
                    if (!failed.exchange(true)) failure = done.error();
                    break;
                }
                ++mine;
            }
            completed += mine;
        });
    }
    start.arrive_and_wait();
    auto began = Clock::now();
    std::this_thread::sleep_for(duration);
    stop = true;
    for (std::thread& driver : drivers) driver.join();
    // The units still in flight at the stop finish after it; the time runs until the last ends.
    double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (failed) result.error = failure;
    result.units = completed.load();
    result.per_second = static_cast<double>(result.units) / seconds;
    return result;
}

std::expected<std::vector<std::unique_ptr<Workload>>, std::string> make_workloads(
    const WorkloadFactory& make, std::size_t count) {
    std::vector<std::unique_ptr<Workload>> workloads;
    for (std::size_t i = 0; i < count; ++i) {
        auto workload = make();
        if (!workload) return std::unexpected(workload.error());
        workloads.push_back(std::move(*workload));
    }
    return workloads;
}

std::vector<Workload*> raw(const std::vector<std::unique_ptr<Workload>>& workloads) {
    std::vector<Workload*> pointers;
    for (const auto& workload : workloads) pointers.push_back(workload.get());
    return pointers;
}

Throughput run_throughput(const WorkloadFactory& make, std::size_t connections,
                          std::chrono::milliseconds duration) {
    auto workloads = make_workloads(make, connections);
    if (!workloads) return Throughput{0, 0, workloads.error()};
    return drive_for(raw(*workloads), duration);
}

}  // namespace kx_agent::bench
