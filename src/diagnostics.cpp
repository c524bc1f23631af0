#include "diagnostics.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <syncstream>
#include <thread>
#include <utility>
#include <vector>

namespace kx_agent::diagnostics {
namespace {

std::atomic<bool> verbose_on{false};

enum class Stream { out, err };

struct Entry {
    Stream stream;
    std::string text;  // with its line end
};

// The bounded queue and its one writer. Never destroyed: a connection thread may still print
// while the process exits, after main's Output has ended.
class Queue {
public:
    void push(Stream stream, std::string text) {
        {
            std::lock_guard lock(mutex_);
            if (entries_.size() >= kQueueLines || bytes_ + text.size() > kQueueBytes) {
                ++unreported_drops_;
                dropped_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            bytes_ += text.size();
            entries_.push_back(Entry{stream, std::move(text)});
            ++queued_;
        }
        ready_.notify_one();
    }

    // Waits until what was queued before the call has been written, or `limit` has passed.
    void flush(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        const uint64_t target = queued_;
        written_changed_.wait_for(lock, limit, [&] { return written_ >= target; });
    }

    std::size_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    void run() {
        std::deque<Entry> batch;
        for (;;) {
            std::size_t drops = 0;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !entries_.empty(); });
                batch.swap(entries_);
                bytes_ = 0;
                drops = std::exchange(unreported_drops_, 0);
            }
            if (drops > 0) {
                write(Stream::err, "Output was not read in time: " + std::to_string(drops) +
                                       " lines were dropped.\n");
            }
            bool out_used = false;
            bool err_used = false;
            for (const Entry& entry : batch) {
                write(entry.stream, entry.text);
                (entry.stream == Stream::out ? out_used : err_used) = true;
            }
            if (out_used) std::fflush(stdout);
            if (err_used) std::fflush(stderr);
            {
                std::lock_guard lock(mutex_);
                written_ += batch.size();
            }
            written_changed_.notify_all();
            batch.clear();
        }
    }

private:
    static void write(Stream stream, const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stream == Stream::out ? stdout : stderr);
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable written_changed_;
    std::deque<Entry> entries_;
    std::size_t bytes_ = 0;
    std::size_t unreported_drops_ = 0;
    uint64_t queued_ = 0;
    uint64_t written_ = 0;
    std::atomic<std::size_t> dropped_{0};
};

std::atomic<Queue*> active{nullptr};

// std::cout and std::cerr into the queue, a whole line at a time: each thread gathers its own
// line, so lines of different threads never interleave. A flush without a line end sends what
// there is as it is.
class LineBuffer : public std::streambuf {
public:
    LineBuffer(Queue& queue, Stream stream) : queue_(queue), stream_(stream) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
        return c;
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::string& line = partial();
        for (std::streamsize i = 0; i < n; ++i) {
            line.push_back(s[i]);
            if (s[i] == '\n' || line.size() >= kLongestPiece) send(line);
        }
        return n;
    }

    int sync() override {
        if (std::string& line = partial(); !line.empty()) send(line);
        return 0;
    }

private:
    static constexpr std::size_t kLongestPiece = 64 * 1024;

    std::string& partial() {
        thread_local std::string lines[2];
        return lines[stream_ == Stream::out ? 0 : 1];
    }

    void send(std::string& line) {
        queue_.push(stream_, std::move(line));
        line.clear();
    }

    Queue& queue_;
    Stream stream_;
};

void write_now(Stream stream, std::string line) {
    if (Queue* queue = active.load(std::memory_order_acquire)) {
        queue->push(stream, std::move(line));
    } else if (stream == Stream::out) {
        std::osyncstream(std::cout) << line << std::flush;
    } else {
        std::osyncstream(std::cerr) << line << std::flush;
    }
}

// The bytes that the lines clients cause may take: kClientBytesPerSecond, saved up to
// kClientBurstBytes.
class ClientBudget {
public:
    void offer(Stream stream, std::string line) {
        std::string note;
        {
            std::lock_guard lock(mutex_);
            refill_locked();
            if (unsaid_ > 0)
                note = std::to_string(unsaid_) + " line" + (unsaid_ == 1 ? "" : "s") +
                       " not shown (too many at once)\n";
            const std::size_t needed = line.size() + note.size();
            if (needed > available_) {
                ++unsaid_;
                return;
            }
            available_ -= needed;
            unsaid_ = 0;
        }
        if (!note.empty()) write_now(Stream::out, std::move(note));
        write_now(stream, std::move(line));
    }

private:
    using Clock = std::chrono::steady_clock;

    void refill_locked() {
        const auto now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
        const auto earned = elapsed.count() * static_cast<long long>(kClientBytesPerSecond) / 1000;
        if (earned <= 0) return;
        available_ = std::min(kClientBurstBytes, available_ + static_cast<std::size_t>(earned));
        last_ = now;
    }

    std::mutex mutex_;
    std::size_t available_ = kClientBurstBytes;
    std::size_t unsaid_ = 0;  // lines neither printed nor said in a count
    Clock::time_point last_ = Clock::now();
};

void write_client(Stream stream, std::string line) {
    line += '\n';
    if (active.load(std::memory_order_acquire) == nullptr)
        return write_now(stream, std::move(line));
    // Never destroyed, as the queue: a connection thread may still print while the process exits.
    static auto* const budget = new ClientBudget;
    budget->offer(stream, std::move(line));
}

}  // namespace

void client_out(std::string line) { write_client(Stream::out, std::move(line)); }
void client_err(std::string line) { write_client(Stream::err, std::move(line)); }

void out(std::string line) {
    line += '\n';
    write_now(Stream::out, std::move(line));
}

void err(std::string line) {
    line += '\n';
    write_now(Stream::err, std::move(line));
}

bool verbose() { return verbose_on.load(std::memory_order_relaxed); }
void set_verbose(bool on) { verbose_on.store(on, std::memory_order_relaxed); }

Output::Output() {
    if (active.load(std::memory_order_acquire) != nullptr) return;
    auto* queue = new Queue;
    try {
        std::thread([queue] { queue->run(); }).detach();
    } catch (const std::system_error&) {
        delete queue;  // no writer: lines stay synchronous
        return;
    }
    std::cout.flush();
    std::cerr.flush();
    // Never destroyed either: the streams are flushed once more at exit.
    std::cout.rdbuf(new LineBuffer(*queue, Stream::out));
    std::cerr.rdbuf(new LineBuffer(*queue, Stream::err));
    active.store(queue, std::memory_order_release);
}

Output::~Output() { flush(); }

void flush(unsigned seconds) {
    std::cout.flush();
    std::cerr.flush();
    if (Queue* queue = active.load(std::memory_order_acquire))
        queue->flush(std::chrono::seconds(seconds));
}

std::size_t dropped() {
    Queue* queue = active.load(std::memory_order_acquire);
    return queue ? queue->dropped() : 0;
}

}  // namespace kx_agent::diagnostics
