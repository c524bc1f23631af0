#include "server/call_scheduler.h"

#include <algorithm>
#include <system_error>

namespace kx_agent::server {

CallScheduler::CallScheduler(std::chrono::milliseconds linger) : linger_(linger) {}

CallScheduler::~CallScheduler() {
    drop_waiting();
    std::unordered_map<std::thread::id, std::thread> workers;
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        work_ready_.notify_all();
        workers.swap(workers_);
        finished_.clear();
    }
    for (auto& [id, thread] : workers) thread.join();
}

bool CallScheduler::submit(Lane lane, Task&& task) {
    std::lock_guard lock(mutex_);
    join_finished();
    if (lane) {
        auto [queue, fresh] = lanes_.try_emplace(*lane);
        if (!fresh) {
            queue->second.waiting.push_back(std::move(task));
            return true;
        }
    }
    // Every ready call has a free worker of its own: a worker that takes one may block in it for
    // as long as PC/SC does.
    if (ready_.size() + 1 > free_workers_) {
        std::thread worker;
        try {
            worker = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            if (lane) lanes_.erase(*lane);  // fresh above: nothing waits behind it
            return false;
        }
        ++free_workers_;
        ready_.push_back({lane, std::move(task)});
        auto id = worker.get_id();
        workers_.emplace(id, std::move(worker));
    } else {
        ready_.push_back({lane, std::move(task)});
        work_ready_.notify_one();
    }
    return true;
}

void CallScheduler::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!ready_.empty()) {
            Ready call = std::move(ready_.front());
            ready_.pop_front();
            --free_workers_;
            running_.push_back(call.lane);
            lock.unlock();
            call.task();
            call.task = nullptr;  // what the call holds goes before the lock is taken again
            lock.lock();
            running_.erase(std::ranges::find(running_, call.lane));
            if (call.lane) {
                auto queue = lanes_.find(*call.lane);
                if (queue != lanes_.end()) {
                    if (queue->second.waiting.empty()) {
                        lanes_.erase(queue);
                    } else {
                        ready_.push_back({call.lane, std::move(queue->second.waiting.front())});
                        queue->second.waiting.pop_front();
                    }
                }
            }
            ++free_workers_;
            if (running_.empty() && ready_.empty()) idle_.notify_all();
            continue;
        }
        if (stopping_) break;
        if (!work_ready_.wait_for(lock, linger_, [this] { return !ready_.empty() || stopping_; }))
            break;
    }
    --free_workers_;
    if (!stopping_) finished_.push_back(std::this_thread::get_id());
}

void CallScheduler::join_finished() {
    for (auto id : finished_) {
        auto worker = workers_.find(id);
        // It has left its loop and needs the lock no more: the join is brief.
        worker->second.join();
        workers_.erase(worker);
    }
    finished_.clear();
}

std::vector<uint64_t> CallScheduler::drop_waiting() {
    std::vector<Ready> dropped;
    std::vector<std::deque<Task>> dropped_lanes;
    std::vector<uint64_t> lanes;
    {
        std::lock_guard lock(mutex_);
        for (auto& call : ready_) dropped.push_back(std::move(call));
        ready_.clear();
        for (auto it = lanes_.begin(); it != lanes_.end();) {
            dropped_lanes.push_back(std::move(it->second.waiting));
            if (std::ranges::find(running_, Lane{it->first}) == running_.end()) {
                it = lanes_.erase(it);
            } else {
                lanes.push_back(it->first);
                it->second.waiting.clear();
                ++it;
            }
        }
        if (running_.empty()) idle_.notify_all();
    }
    // The dropped calls are destroyed outside the lock.
    return lanes;
}

void CallScheduler::wait_idle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return running_.empty() && ready_.empty(); });
}

std::size_t CallScheduler::threads() const {
    std::lock_guard lock(mutex_);
    return workers_.size() - finished_.size();
}

}  // namespace kx_agent::server
