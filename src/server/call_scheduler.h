#pragma once
// Carries out the calls of one connection on a few worker threads, in the order that matters.
//
// Each call has a lane, or none. Calls of one lane run one after another in the order they were
// submitted; calls of different lanes, and calls without a lane, run side by side. So a call
// that blocks (a status-change wait, a transaction waiting for the card) holds back only the
// calls behind it in its lane.
//
// Threads are started when a call is ready to run and no worker is free, and leave after
// `linger` without work: a run of calls in one lane keeps one thread busy, and an idle
// connection keeps none. The number of threads is bounded by the calls that may run at once,
// which the caller bounds by the calls it lets be in flight. A call that needs a thread when none
// can be started (a process limit) is refused, and the caller answers it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kx_agent::server {

class CallScheduler {
public:
    using Lane = std::optional<uint64_t>;  // nullopt: runs at once
    using Task = std::move_only_function<void()>;

    explicit CallScheduler(std::chrono::milliseconds linger = std::chrono::seconds(2));
    // Drops the calls that have not started and waits for those that have.
    ~CallScheduler();
    CallScheduler(const CallScheduler&) = delete;
    CallScheduler& operator=(const CallScheduler&) = delete;

    // False when the call needed a thread of its own and none could be started: `task` is left
    // as it was (the caller may run it, or drop it), and the scheduler is as it was before.
    bool submit(Lane lane, Task&& task);
    // Drops every call that has not started; returns the lanes of those still running.
    std::vector<uint64_t> drop_waiting();
    // Blocks until no call runs and none waits.
    void wait_idle();
    // Worker threads alive (busy or idle).
    std::size_t threads() const;

private:
    struct Ready {
        Lane lane;
        Task task;
    };
    struct Queue {
        std::deque<Task> waiting;  // behind the call of this lane that is ready or running
    };

    void work();
    // Under the lock: joins the workers that have left.
    void join_finished();

    const std::chrono::milliseconds linger_;
    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable idle_;
    std::deque<Ready> ready_;                    // may start now, in submission order
    std::unordered_map<uint64_t, Queue> lanes_;  // lanes with a call ready or running
    std::vector<Lane> running_;
    std::size_t free_workers_ = 0;  // workers waiting for work, or started and not yet there
    bool stopping_ = false;
    std::unordered_map<std::thread::id, std::thread> workers_;
    std::vector<std::thread::id> finished_;
};

}  // namespace kx_agent::server
