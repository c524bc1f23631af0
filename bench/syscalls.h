#pragma once
// The system calls a server process makes for a call, counted with strace attached to it:
// those on its end of the call's WebSocket connection (to receive the call, and to answer it)
// apart from the rest of the process (pcsc-lite's socket to pcscd, other threads).
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "bench/measure.h"

namespace kx_agent::bench {

struct SyscallFigure {
    std::size_t units = 0;
    // Per unit: on the connection's socket, to receive (reads and polls) and to send, any
    // other call on it, and every system call of the process.
    double receive = 0;
    double send = 0;
    double other = 0;
    double process = 0;
    std::map<std::string, double> by_name;  // the socket's calls per unit, by system call
};

// Counts, over `units` units of a workload made by `make`, the system calls of `server` on the
// sockets that the workload's connection opened in it. strace's output goes to `trace_path`.
// An error says why no count was taken (no strace, attaching refused, ...).
std::expected<SyscallFigure, std::string> count_syscalls(pid_t server, const WorkloadFactory& make,
                                                         std::size_t units,
                                                         const std::string& trace_path);

// The count over strace's output (`strace -f -o`): the system calls on `sockets`, with the epoll
// waits of the threads that read or write them.
SyscallFigure tally_trace(std::string_view trace, const std::set<int>& sockets, std::size_t units);

}  // namespace kx_agent::bench
