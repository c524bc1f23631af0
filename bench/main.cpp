// tolvane-bench: what the agent adds to a card call. In one run, on this machine, against the
// real pcscd and the virtual reader: each call made directly, relayed through the agent binary
// (started here on 127.0.0.1:8095), bounced off a bare echo server, relayed by a bare relay, and
// decoded in-process; calls per second on several connections, and over one connection with
// several contexts busy at once; the agent against the bare relay in windows that take turns;
// the system calls of each per call; the agent's resident memory with idle connections.
//
//   tolvane-bench [--agent PATH] [--logs DIR] [--quick] [--no-codec] [--no-live] [--no-memory]
//                 [--no-rates] [--no-syscalls]
//                 [--only NAME] [--seconds S] [--rounds N] [--per-round N] [--strict]
//                 [--windows N] [--window S] [--syscall-calls N]
//                 [--benchmark_* flags]
//   tolvane-bench --drive NAME [--count N] [--pause S]   (units of one call through the agent,
//                 with pauses to attach a profiler to the agent's pid)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/alternate.h"
#include "bench/codec.h"
#include "bench/echo_server.h"
#include "bench/measure.h"
#include "bench/processes.h"
#include "bench/report.h"
#include "bench/side_by_side.h"
#include "bench/syscalls.h"
#include "bench/workloads.h"

#ifndef TOLVANE_AGENT_PATH
#define TOLVANE_AGENT_PATH "tolvane-agent"
#endif

namespace kx_agent::bench {
namespace {

constexpr uint16_t kAgentPort = 8095;
constexpr const char* kPortLock = "/tmp/tolvane-port8095.lock";
constexpr const char* kCardLock = "/tmp/tolvane-card.lock";
constexpr std::chrono::seconds kLockPatience{600};
constexpr std::chrono::minutes kRunLimit{25};

struct Options {
    std::string agent = TOLVANE_AGENT_PATH;
    std::string logs;
    bool codec = true;
    bool live = true;
    std::chrono::milliseconds rate_time{1000};
    RoundPlan plan;
    std::vector<std::size_t> connections{1, 4, 16};
    std::vector<std::size_t> idle_connections{100, 1000};
    std::string only;  // times only the calls whose name holds this text
    bool memory = true;
    bool strict = false;
    bool rates = true;   // exit status 1 when a target is missed
    WindowPlan windows;  // the agent against the bare relay
    bool syscalls = true;
    std::size_t syscall_units = 2000;
    // Drive mode, for profiling the agent from outside: only `drive_count` units of the named
    // call through the agent, with a pause before and after to attach and detach a profiler.
    std::string drive;
    std::size_t drive_count = 20000;
    std::chrono::milliseconds drive_pause{3000};
};

void on_signal(int) {
    kill_children_now();
    ::_exit(130);
}

// Ends everything the benchmark started if the run passes its time limit.
class Watchdog {
public:
    explicit Watchdog(std::chrono::minutes limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "tolvane-bench: over its time limit; stopping\n");
                  kill_children_now();
                  ::_exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    options.logs = "/tmp/tolvane-bench-" + std::to_string(::getpid());
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--agent") options.agent = value();
        else if (arg == "--logs") options.logs = value();
        else if (arg == "--no-codec") options.codec = false;
        else if (arg == "--no-live") options.live = false;
        else if (arg == "--no-memory") options.memory = false;
        else if (arg == "--only") options.only = value();
        else if (arg == "--strict") options.strict = true;
        else if (arg == "--no-rates") options.rates = false;
        else if (arg == "--no-syscalls") options.syscalls = false;
        else if (arg == "--windows")
            options.windows.windows = std::strtoul(value().c_str(), nullptr, 10);
        else if (arg == "--window")
            options.windows.length =
                std::chrono::milliseconds(static_cast<long>(std::atof(value().c_str()) * 1000));
        else if (arg == "--syscall-calls")
            options.syscall_units = std::strtoul(value().c_str(), nullptr, 10);
        else if (arg == "--drive") options.drive = value();
        else if (arg == "--count") options.drive_count = std::strtoul(value().c_str(), nullptr, 10);
        else if (arg == "--pause")
            options.drive_pause =
                std::chrono::milliseconds(static_cast<long>(std::atof(value().c_str()) * 1000));
        else if (arg == "--seconds")
            options.rate_time =
                std::chrono::milliseconds(static_cast<long>(std::atof(value().c_str()) * 1000));
        else if (arg == "--rounds")
            options.plan.rounds = std::strtoul(value().c_str(), nullptr, 10);
        else if (arg == "--per-round")
            options.plan.per_round = std::strtoul(value().c_str(), nullptr, 10);
        else if (arg == "--quick") {
            options.plan = RoundPlan{50, 3, 150};
            options.rate_time = std::chrono::milliseconds(300);
            options.windows = WindowPlan{4, std::chrono::milliseconds(250)};
        } else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return std::nullopt;
        }
    }
    options.plan.rounds = std::max<std::size_t>(options.plan.rounds, 1);
    options.plan.per_round = std::clamp<std::size_t>(options.plan.per_round, 1, 100000);
    options.windows.windows = std::clamp<std::size_t>(options.windows.windows, 1, 1000);
    options.windows.length = std::max(options.windows.length, std::chrono::milliseconds(10));
    options.syscall_units = std::clamp<std::size_t>(options.syscall_units, 1, 1000000);
    return options;
}

PathFigure figure_of(const Latency& latency) {
    PathFigure figure;
    if (!latency.nanoseconds.empty()) figure.summary = summarize(latency.nanoseconds);
    if (latency.error) figure.note = "stopped: " + *latency.error;
    return figure;
}

// The idle agent, then with `counts` idle WebSocket connections open (each has had its
// handshake message answered, so its thread waits in the relay for the next message).
void measure_memory(const Options& options, pid_t agent, Report& report) {
    const auto settle = std::chrono::milliseconds(500);
    std::this_thread::sleep_for(settle);
    report.memory.push_back({"idle, at start", 0, proc_status(agent)});
    {
        auto first = WsClient::open(kAgentPort);
        if (!first || !first->call(handshake_message())) {
            report.memory_note = "the agent does not answer the handshake";
            return;
        }
    }
    std::this_thread::sleep_for(settle);
    report.memory.push_back({"idle, after one connection", 0, proc_status(agent)});
    std::vector<WsClient> idle;
    for (std::size_t target : options.idle_connections) {
        while (idle.size() < target) {
            auto client = WsClient::open(kAgentPort);
            if (!client) {
                report.memory_note = "stopped opening connections at " +
                                     std::to_string(idle.size()) + ": " + client.error();
                break;
            }
            if (auto answered = client->call(handshake_message()); !answered) {
                report.memory_note =
                    "connection " + std::to_string(idle.size()) + ": " + answered.error();
                break;
            }
            idle.push_back(std::move(*client));
        }
        if (idle.size() < target) break;
        std::this_thread::sleep_for(settle);
        report.memory.push_back({std::to_string(idle.size()) + " idle WebSocket connections",
                                 idle.size(), proc_status(agent)});
    }
    for (WsClient& client : idle) client.close();
    idle.clear();
    // The agent's threads end as their connections close.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}

// The direct form of call `index` as work for the echo server.
std::expected<EchoServer::Work, std::string> direct_work(std::size_t index) {
    const auto& calls = benchmarked_calls();
    if (index >= calls.size()) return std::unexpected(std::string("no such call"));
    auto made = direct_workload(calls[index].kind);
    if (!made) return std::unexpected(made.error());
    std::shared_ptr<Workload> workload = std::move(*made);
    return EchoServer::Work([workload] { return workload->once(); });
}

void measure_calls(const Options& options, uint16_t echo_port, Report& report) {
    for (std::size_t index = 0; index < benchmarked_calls().size(); ++index) {
        const CallInfo& call = benchmarked_calls()[index];
        if (!options.only.empty() && std::string(call.name).find(options.only) == std::string::npos)
            continue;
        std::fprintf(stderr, "timing %s\n", call.name);
        CallFigures figures{call, {}, {}, {}, {}, {}, 0, 0, 0, {}, {}, {}};
        std::unique_ptr<Workload> direct;
        if (call.has_direct) {
            auto made = direct_workload(call.kind);
            if (made) direct = std::move(*made);
            else figures.direct.note = "direct: " + made.error();
        }
        auto agent = agent_workload(call.kind, kAgentPort);
        if (!agent) {
            figures.agent.note = "through agent: " + agent.error();
            report.calls.push_back(std::move(figures));
            continue;
        }
        std::vector<Bytes> requests = (*agent)->requests();
        std::vector<std::size_t> sizes = (*agent)->reply_sizes();
        figures.placeholder = (*agent)->placeholder();
        figures.messages = requests.size();
        for (const Bytes& r : requests) figures.request_bytes += r.size();
        for (std::size_t s : sizes) figures.reply_bytes += s;
        std::unique_ptr<Workload> echo;
        if (auto made = echo_workload(echo_port, requests, sizes)) echo = std::move(*made);
        else figures.echo.note = "echo: " + made.error();
        std::unique_ptr<Workload> relay;
        if (call.has_direct) {
            if (auto made = echo_workload(echo_port, requests, sizes, index))
                relay = std::move(*made);
            else figures.relay.note = "bare relay: " + made.error();
        }

        auto latencies =
            time_interleaved({direct.get(), agent->get(), echo.get(), relay.get()}, options.plan);
        if (direct) figures.direct = figure_of(latencies[0]);
        figures.agent = figure_of(latencies[1]);
        if (echo) figures.echo = figure_of(latencies[2]);
        if (relay) figures.relay = figure_of(latencies[3]);
        direct.reset();
        agent->reset();
        echo.reset();
        relay.reset();

        for (std::size_t n : options.rates ? options.connections : std::vector<std::size_t>{}) {
            if (call.has_direct)
                figures.direct_rate[n] = run_throughput([&] { return direct_workload(call.kind); },
                                                        n, options.rate_time);
            figures.agent_rate[n] = run_throughput(
                [&]() -> std::expected<std::unique_ptr<Workload>, std::string> {
                    auto made = agent_workload(call.kind, kAgentPort);
                    if (!made) return std::unexpected(made.error());
                    return std::unique_ptr<Workload>(std::move(*made));
                },
                n, options.rate_time);
            figures.echo_rate[n] = run_throughput(
                [&] { return echo_workload(echo_port, requests, sizes); }, n, options.rate_time);
        }
        report.calls.push_back(std::move(figures));
    }
}

bool wanted(const Options& options, const CallInfo& call) {
    return options.only.empty() || std::string(call.name).find(options.only) != std::string::npos;
}

// The agent's workload of `call` and the bare relay's, made alike: the relay answers each
// message with a reply of the size the agent's has, after the same PC/SC call.
struct PathPair {
    WorkloadFactory agent, relay;
};

std::expected<PathPair, std::string> path_pair(std::size_t index, uint16_t echo_port) {
    const CallKind kind = benchmarked_calls()[index].kind;
    auto probe = agent_workload(kind, kAgentPort);
    if (!probe) return std::unexpected("through agent: " + probe.error());
    if ((*probe)->placeholder())
        return std::unexpected("through agent: " + *(*probe)->placeholder());
    PathPair pair;
    pair.agent = [kind]() -> std::expected<std::unique_ptr<Workload>, std::string> {
        auto made = agent_workload(kind, kAgentPort);
        if (!made) return std::unexpected(made.error());
        return std::unique_ptr<Workload>(std::move(*made));
    };
    pair.relay = [echo_port, index, requests = (*probe)->requests(),
                  sizes = (*probe)->reply_sizes()] {
        return echo_workload(echo_port, requests, sizes, index);
    };
    return pair;
}

// ListReaders and Status through the agent and the bare relay in windows that take turns, on
// each number of connections.
void measure_alternating(const Options& options, pid_t agent, const EchoProcess& echo,
                         Report& report) {
    report.window_plan = options.windows;
    for (std::size_t index = 0; index < benchmarked_calls().size(); ++index) {
        const CallInfo& call = benchmarked_calls()[index];
        if (call.kind != CallKind::ListReaders && call.kind != CallKind::Status) continue;
        if (!wanted(options, call)) continue;
        AlternateFigures figures{call, {}, {}};
        auto pair = path_pair(index, echo.port);
        if (!pair) figures.note = pair.error();
        for (std::size_t n : pair ? options.connections : std::vector<std::size_t>{}) {
            std::fprintf(stderr, "%s through agent and bare relay on %zu connections\n", call.name,
                         n);
            figures.by_connections[n] = run_alternating(pair->agent, pair->relay, n,
                                                        options.windows, agent, echo.process.pid());
        }
        report.alternating.push_back(std::move(figures));
    }
}

// System calls per strict-order ListReaders of the agent and of the bare relay's process.
void measure_syscalls(const Options& options, pid_t agent, const EchoProcess& echo,
                      Report& report) {
    std::size_t index = 0;
    while (benchmarked_calls()[index].kind != CallKind::ListReaders) ++index;
    auto pair = path_pair(index, echo.port);
    if (!pair) {
        report.syscall_notes.push_back("system calls not counted: " + pair.error());
        return;
    }
    std::fprintf(stderr, "counting system calls of %zu ListReaders with strace\n",
                 options.syscall_units);
    struct Path {
        const char* label;
        pid_t server;
        const WorkloadFactory& make;
        std::optional<SyscallFigure>& figure;
        const char* trace;
    };
    const Path paths[] = {
        {"through agent", agent, pair->agent, report.agent_syscalls, "/strace-agent.txt"},
        {"bare relay", echo.process.pid(), pair->relay, report.relay_syscalls,
         "/strace-relay.txt"}};
    for (const Path& path : paths) {
        auto counted = count_syscalls(path.server, path.make, options.syscall_units,
                                      options.logs + path.trace);
        if (counted) path.figure = *counted;
        else
            report.syscall_notes.push_back(std::string(path.label) +
                                           ": not counted: " + counted.error());
    }
}

struct Driven {
    double wall_us = 0;         // per unit
    double server_cpu_us = 0;   // CPU time of the serving process per unit
    double server_user_us = 0;  // of which in user space (clock-tick resolution)
    double server_system_us = 0;
    double own_cpu_us = 0;  // CPU time of this process per unit
};

std::expected<Driven, std::string> drive_units(Workload& workload, std::size_t count,
                                               pid_t server) {
    const CpuMark by_server(server);
    const CpuMark by_us(::getpid());
    auto began = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i)
        if (auto done = workload.once(); !done) return std::unexpected(done.error());
    const double wall =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count();
    const auto n = static_cast<double>(count);
    const CpuSpent spent = by_server.since();
    Driven driven;
    driven.wall_us = wall / n;
    driven.server_cpu_us = spent.all_us / n;
    driven.server_user_us = spent.user_us / n;
    driven.server_system_us = spent.system_us / n;
    driven.own_cpu_us = by_us.since().all_us / n;
    return driven;
}

// Units of one call through the agent, with pauses around them to attach a profiler to the
// agent's pid; then the same call's bare relay, echo floor and direct form, each with the CPU
// time it costs the serving process.
int drive(const Options& options, pid_t agent) {
    const auto& calls = benchmarked_calls();
    // The call of that name, or else the first whose name holds it.
    std::size_t index = 0;
    while (index < calls.size() && calls[index].name != options.drive) ++index;
    for (std::size_t i = 0; index == calls.size() && i < calls.size(); ++i)
        if (std::string(calls[i].name).find(options.drive) != std::string::npos) index = i;
    if (index == calls.size())
        return std::fprintf(stderr, "no call named %s\n", options.drive.c_str()), 1;
    const CallInfo& call = calls[index];
    auto through = agent_workload(call.kind, kAgentPort);
    if (!through) return std::fprintf(stderr, "%s\n", through.error().c_str()), 1;
    std::fprintf(stderr, "driving %zu units of %s through agent pid %d in %.1f s\n",
                 options.drive_count, call.name, agent, options.drive_pause.count() / 1000.0);
    std::this_thread::sleep_for(options.drive_pause);
    auto by_agent = drive_units(**through, options.drive_count, agent);
    std::fprintf(stderr, "done with the agent\n");
    std::this_thread::sleep_for(options.drive_pause);
    if (!by_agent) return std::fprintf(stderr, "%s\n", by_agent.error().c_str()), 1;

    std::vector<std::pair<std::string, Driven>> rows{{"through agent", *by_agent}};
    auto echo = start_echo_process(options.logs + "/echo.log");
    if (!echo) return std::fprintf(stderr, "%s\n", echo.error().c_str()), 1;
    const pid_t echo_pid = echo->process.pid();
    auto add = [&](const char* label, std::expected<std::unique_ptr<Workload>, std::string> made,
                   pid_t server) {
        if (!made) return (void)std::fprintf(stderr, "%s: %s\n", label, made.error().c_str());
        if (auto driven = drive_units(**made, options.drive_count, server))
            rows.emplace_back(label, *driven);
        else std::fprintf(stderr, "%s: %s\n", label, driven.error().c_str());
    };
    if (call.has_direct)
        add("bare relay",
            echo_workload(echo->port, (*through)->requests(), (*through)->reply_sizes(), index),
            echo_pid);
    add("echo floor", echo_workload(echo->port, (*through)->requests(), (*through)->reply_sizes()),
        echo_pid);
    if (call.has_direct) add("direct", direct_workload(call.kind), 0);
    std::printf("%s, %zu units each: microseconds per unit\n", call.name, options.drive_count);
    std::printf("%-16s %10s %12s %10s %10s %12s\n", "path", "wall", "server CPU", "user", "system",
                "client CPU");
    for (const auto& [label, d] : rows)
        std::printf("%-16s %10.2f %12.3f %10.2f %10.2f %12.3f\n", label.c_str(), d.wall_us,
                    d.server_cpu_us, d.server_user_us, d.server_system_us, d.own_cpu_us);
    return 0;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

int run_live(const Options& options, Report& report) {
    std::size_t files = raise_file_limit();
    if (files < options.idle_connections.back() * 2 + 64)
        report.notes.push_back("open-file limit " + std::to_string(files) +
                               " is low for the connection counts");
    auto port_lock = MachineLock::take(kPortLock, kLockPatience);
    if (!port_lock) return std::fprintf(stderr, "%s\n", port_lock.error().c_str()), 1;
    auto card_lock = MachineLock::take(kCardLock, kLockPatience);
    if (!card_lock) return std::fprintf(stderr, "%s\n", card_lock.error().c_str()), 1;

    report.notes.push_back("load average at the start of the live runs: " + load_average() + " (" +
                           std::to_string(std::thread::hardware_concurrency()) + " CPUs)");
    auto agent = start_agent(options.agent, options.logs + "/agent.log");
    if (!agent)
        return std::fprintf(stderr, "cannot start the agent: %s\n", agent.error().c_str()), 1;
    std::fprintf(stderr, "agent %s running as pid %d\n", options.agent.c_str(), agent->pid());
    if (options.memory && options.drive.empty()) measure_memory(options, agent->pid(), report);

    auto card = insert_virtual_card(options.logs + "/vicc.log");
    if (!card) {
        report.notes.push_back("no virtual card: " + card.error());
    }
    if (!options.drive.empty()) {
        int driven = drive(options, agent->pid());
        if (card) remove_virtual_card(*card);
        return driven;
    }
    auto echo = start_echo_process(options.logs + "/echo.log");
    if (!echo)
        return std::fprintf(stderr, "cannot start the echo server: %s\n", echo.error().c_str()), 1;
    measure_calls(options, echo->port, report);
    if (options.rates &&
        (options.only.empty() ||
         std::string_view("ListReaders").find(options.only) != std::string_view::npos)) {
        for (std::size_t n : options.connections) {
            std::fprintf(stderr, "ListReaders on %zu contexts over one connection\n", n);
            report.side_by_side[n] = run_side_by_side(kAgentPort, n, true, options.rate_time);
            report.in_order[n] = run_side_by_side(kAgentPort, n, false, options.rate_time);
        }
    }
    if (options.rates) measure_alternating(options, agent->pid(), *echo, report);
    if (options.syscalls &&
        std::string_view("ListReaders").find(options.only) != std::string_view::npos)
        measure_syscalls(options, agent->pid(), *echo, report);
    MemoryFigure after{"after the call runs", 0, proc_status(agent->pid())};
    report.notes.push_back("agent VmRSS after the call runs (no connections): " +
                           std::to_string(after.status["VmRSS"]) + " KiB");

    report.notes.push_back("load average at their end: " + load_average());
    echo->process.stop();
    if (card) remove_virtual_card(*card);
    agent->stop();
    return 0;
}

// The echo process: serves until it is stopped (or the benchmark that started it ends).
int serve_echo() {
    auto server = EchoServer::start(direct_work);
    if (!server) return std::fprintf(stderr, "%s\n", server.error().c_str()), 1;
    std::printf("%.*s%u\n", static_cast<int>(kEchoPortLine.size()), kEchoPortLine.data(),
                (*server)->port());
    std::fflush(stdout);
    for (;;) ::pause();
}

}  // namespace
}  // namespace kx_agent::bench

int main(int argc, char** argv) {
    using namespace kx_agent::bench;
    ::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::string_view(argv[1]) == "--serve-echo") return serve_echo();
    ::signal(SIGINT, on_signal);
    ::signal(SIGTERM, on_signal);
    benchmark::Initialize(&argc, argv);
    auto options = parse(argc, argv);
    if (!options) return 2;
    ::mkdir(options->logs.c_str(), 0755);
    Watchdog watchdog(kRunLimit);

    Report report;
    report.connection_counts = options->connections;
    if (options->codec) report.codec = run_codec_benchmarks();
    if (options->live) {
        if (int failed = run_live(*options, report); failed != 0) return failed;
        if (!options->drive.empty()) return 0;
        std::printf("\nlogs of the agent and the card: %s\n", options->logs.c_str());
    }
    int missed = print_report(report);
    return options->strict && missed > 0 ? 1 : 0;
}
