#include "bench/syscalls.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/processes.h"

namespace kx_agent::bench {
namespace {

enum class Side { Receive, Send, Other };

// System calls whose first argument is a descriptor, and which side of a socket they serve.
const std::map<std::string_view, Side>& fd_calls() {
    static const std::map<std::string_view, Side> calls{
        {"read", Side::Receive},     {"readv", Side::Receive},    {"recvfrom", Side::Receive},
        {"recvmsg", Side::Receive},  {"recvmmsg", Side::Receive}, {"write", Side::Send},
        {"writev", Side::Send},      {"sendto", Side::Send},      {"sendmsg", Side::Send},
        {"sendmmsg", Side::Send},    {"close", Side::Other},      {"shutdown", Side::Other},
        {"fcntl", Side::Other},      {"ioctl", Side::Other},      {"setsockopt", Side::Other},
        {"getsockopt", Side::Other},
    };
    return calls;
}

std::optional<int> leading_int(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() + text.size()) return std::nullopt;
    // "0x7f..." is an address, not a descriptor.
    if (*end != ',' && *end != ')' && *end != '<' && *end != ' ') return std::nullopt;
    return value;
}

// Whether the poll set at the front of `args` ("[{fd=5, events=POLLIN}, ...]") holds one of
// `sockets`.
bool polls_one_of(std::string_view args, const std::set<int>& sockets) {
    std::string_view set = args.substr(0, args.find(']'));
    for (std::size_t at = set.find("fd="); at != std::string_view::npos;
         at = set.find("fd=", at + 3))
        if (auto fd = leading_int(set.substr(at + 3)); fd && sockets.contains(*fd)) return true;
    return false;
}

// Whether the read set of select's arguments ("6, [3 5], NULL, ...") holds one of `sockets`.
bool selects_one_of(std::string_view args, const std::set<int>& sockets) {
    const std::size_t open = args.find('[');
    if (open == std::string_view::npos) return false;
    std::string set(args.substr(open + 1, args.find(']') - open - 1));
    for (std::size_t at = 0; at < set.size(); ++at) {
        if (at > 0 && set[at - 1] != ' ') continue;
        if (auto fd = leading_int(set.substr(at) + ")"); fd && sockets.contains(*fd)) return true;
    }
    return false;
}

std::string find_program(const char* name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        std::string_view dir = dirs.substr(0, dirs.find(':'));
        dirs.remove_prefix(std::min(dirs.size(), dir.size() + 1));
        std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The process's descriptors that are sockets, with their "socket:[inode]" names.
std::map<int, std::string> socket_fds(pid_t pid) {
    std::map<int, std::string> fds;
    std::error_code error;
    const std::filesystem::path dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || !target.string().starts_with("socket:[")) continue;
        if (auto fd = leading_int(entry.path().filename().string() + ")"))
            fds[*fd] = target.string();
    }
    return fds;
}

// The inodes of the TCP sockets of this network namespace (/proc/net/tcp and tcp6: the tenth
// column of each line).
std::set<std::string> tcp_inodes() {
    std::set<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(read_text(table));
        std::string line;
        std::getline(lines, line);  // the column heads
        while (std::getline(lines, line)) {
            std::istringstream columns(line);
            std::string column;
            for (int i = 0; i < 10 && columns >> column; ++i) {
            }
            if (!column.empty()) inodes.insert(column);
        }
    }
    return inodes;
}

}  // namespace

SyscallFigure tally_trace(std::string_view trace, const std::set<int>& sockets, std::size_t units) {
    struct Call {
        std::string_view thread, name, args;
    };
    std::vector<Call> calls;
    while (!trace.empty()) {
        std::string_view line = trace.substr(0, trace.find('\n'));
        trace.remove_prefix(std::min(trace.size(), line.size() + 1));
        // "1234  recvfrom(5, ..." with -f: the thread first.
        const std::size_t at = line.find_first_not_of("0123456789");
        if (at == std::string_view::npos) continue;
        const std::string_view thread = line.substr(0, at);
        line.remove_prefix(at);
        line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
        // A resumed call was counted where it began; a call cut by strace's detaching is the
        // wait for the next unit; signals and exits are not calls.
        if (line.starts_with("<...") || line.starts_with("+++") || line.starts_with("---") ||
            line.find("<detached") != std::string_view::npos)
            continue;
        const std::size_t open = line.find('(');
        if (open == std::string_view::npos) continue;
        calls.push_back({thread, line.substr(0, open), line.substr(open + 1)});
    }
    auto on_socket = [&](const Call& call) -> std::optional<Side> {
        if (call.name == "poll" || call.name == "ppoll")
            return polls_one_of(call.args, sockets) ? std::optional(Side::Receive) : std::nullopt;
        if (call.name == "select" || call.name == "pselect6")
            return selects_one_of(call.args, sockets) ? std::optional(Side::Receive) : std::nullopt;
        if (auto found = fd_calls().find(call.name); found != fd_calls().end()) {
            auto fd = leading_int(call.args);
            if (fd && sockets.contains(*fd)) return found->second;
        }
        return std::nullopt;
    };
    // An epoll wait names its epoll instance, not the socket: it counts for the socket when the
    // thread that waits is one that reads or writes the socket.
    std::set<std::string_view> socket_threads;
    for (const Call& call : calls)
        if (on_socket(call)) socket_threads.insert(call.thread);

    std::map<std::string, std::size_t> counts;
    std::size_t sides[3] = {};
    for (const Call& call : calls) {
        std::optional<Side> side = on_socket(call);
        const bool epoll_wait =
            call.name.starts_with("epoll_wait") || call.name.starts_with("epoll_pwait");
        if (!side && epoll_wait && socket_threads.contains(call.thread)) side = Side::Receive;
        if (!side) continue;
        ++counts[std::string(call.name)];
        ++sides[static_cast<int>(*side)];
    }
    SyscallFigure figure;
    figure.units = units;
    const double n = static_cast<double>(std::max<std::size_t>(units, 1));
    figure.receive = static_cast<double>(sides[static_cast<int>(Side::Receive)]) / n;
    figure.send = static_cast<double>(sides[static_cast<int>(Side::Send)]) / n;
    figure.other = static_cast<double>(sides[static_cast<int>(Side::Other)]) / n;
    figure.process = static_cast<double>(calls.size()) / n;
    for (const auto& [name, count] : counts) figure.by_name[name] = static_cast<double>(count) / n;
    return figure;
}

std::expected<SyscallFigure, std::string> count_syscalls(pid_t server, const WorkloadFactory& make,
                                                         std::size_t units,
                                                         const std::string& trace_path) {
    const std::string strace = find_program("strace");
    if (strace.empty()) return std::unexpected(std::string("strace is not installed"));
    const auto before = socket_fds(server);
    auto workload = make();
    if (!workload) return std::unexpected(workload.error());
    // The server's end of the connection: a TCP socket that was not there before.
    std::set<int> sockets;
    const auto inodes = tcp_inodes();
    for (const auto& [fd, name] : socket_fds(server)) {
        auto known = before.find(fd);
        if (known != before.end() && known->second == name) continue;
        const std::string inode = name.substr(8, name.size() - 9);  // socket:[inode]
        if (inodes.contains(inode)) sockets.insert(fd);
    }
    if (sockets.empty())
        return std::unexpected(std::string("the server's end of the connection was not found"));

    const std::string log_path = trace_path + ".log";
    auto tracer = ChildProcess::start(
        {strace, "-f", "-o", trace_path, "-p", std::to_string(server)}, {}, log_path);
    if (!tracer) return std::unexpected("strace: " + tracer.error());
    // strace tells on its standard error when it has attached to the threads.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (read_text(log_path).find("attached") == std::string::npos) {
        if (!tracer->running() || std::chrono::steady_clock::now() > deadline) {
            std::string said = read_text(log_path);
            while (!said.empty() && said.back() == '\n') said.pop_back();
            tracer->stop();
            return std::unexpected("strace did not attach" +
                                   (said.empty() ? std::string() : ": " + said));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // One line per thread; let it reach them all.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (std::size_t i = 0; i < units; ++i) {
        if (auto done = (*workload)->once(); !done) {
            tracer->stop();
            return std::unexpected(done.error());
        }
    }
    // SIGTERM: strace detaches and writes out what it holds.
    tracer->stop(std::chrono::milliseconds(5000));
    workload->reset();
    return tally_trace(read_text(trace_path), sockets, units);
}

}  // namespace kx_agent::bench
