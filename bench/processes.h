#pragma once
// What the benchmark starts and holds: the agent binary and the virtual card as child
// processes (stopped by pid, and told to end with the benchmark should it die first), the
// machine-wide locks on port 8095 and on the card, and the resident memory of a process.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <expected>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kx_agent::bench {

class ChildProcess {
public:
    // Starts `argv` with `extra_env` added to the environment; standard output and error go
    // to `log_path`. Must be called from the main thread: the child is told to end when the
    // thread that started it does.
    static std::expected<ChildProcess, std::string> start(const std::vector<std::string>& argv,
                                                          const std::vector<std::string>& extra_env,
                                                          const std::string& log_path);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    bool running();
    // SIGTERM, then SIGKILL after `grace`; waits for the child.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

// Kills every child still running (by pid); safe in a signal handler.
void kill_children_now();

// An exclusive flock on `path`, waited for at most `patience`.
class MachineLock {
public:
    static std::expected<MachineLock, std::string> take(const std::string& path,
                                                        std::chrono::seconds patience);
    MachineLock(MachineLock&& other) noexcept;
    MachineLock& operator=(MachineLock&&) = delete;
    MachineLock(const MachineLock&) = delete;
    ~MachineLock();

private:
    explicit MachineLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Fields of /proc/<pid>/status in KiB: VmRSS, RssAnon, RssFile, Threads (a count); and from
// /proc/<pid>/smaps, StackRss: the resident KiB of the threads' stacks.
std::map<std::string, std::size_t> proc_status(pid_t pid);
// Nanoseconds each thread of `pid` has run on a CPU (/proc/<pid>/task/*/schedstat), and the
// time run since `before` by the threads alive now (threads that ended are not counted).
std::map<pid_t, uint64_t> thread_cpu_ns(pid_t pid);
uint64_t cpu_time_since(pid_t pid, const std::map<pid_t, uint64_t>& before);
// User and system CPU time of `pid`, all threads, in microseconds (/proc/<pid>/stat; the kernel
// keeps them in clock ticks, 10 ms each on most systems).
struct CpuSplit {
    double user_us = 0;
    double system_us = 0;
};
CpuSplit cpu_split(pid_t pid);
// A process's CPU time from the moment the mark is made: all of it (exact) and its user and
// system split (clock ticks), in microseconds. A mark of pid 0 reads nothing and gives zeros.
struct CpuSpent {
    double all_us = 0;
    double user_us = 0;
    double system_us = 0;
};
class CpuMark {
public:
    explicit CpuMark(pid_t pid);
    CpuSpent since() const;

private:
    pid_t pid_;
    std::map<pid_t, uint64_t> threads_;
    CpuSplit split_;
};
// Raises the soft limit of open files to the hard limit; returns the new soft limit.
std::size_t raise_file_limit();

// The agent binary on 127.0.0.1:8095, ready to take connections.
std::expected<ChildProcess, std::string> start_agent(const std::string& path,
                                                     const std::string& log_path);

// The echo server in a process of its own (this program run with --serve-echo), so that its
// round trips cross from one process to another as those to the agent do.
struct EchoProcess {
    ChildProcess process;
    uint16_t port = 0;
};
std::expected<EchoProcess, std::string> start_echo_process(const std::string& log_path);
// The line by which the echo process tells its port.
inline constexpr std::string_view kEchoPortLine = "echo server on port ";

// vsmartcard's vicc (ISO 7816 card) in the first virtual reader, seen by PC/SC as present.
std::expected<ChildProcess, std::string> insert_virtual_card(const std::string& log_path);
// Stops the card's vicc and waits until PC/SC sees the reader empty again.
void remove_virtual_card(ChildProcess& card);

}  // namespace kx_agent::bench
