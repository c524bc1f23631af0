#include "bench/report.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace kx_agent::bench {
namespace {

constexpr double kAgentFactor = 1.15;     // through the agent <= 1.15 x direct + echo floor
constexpr double kHandshakeFactor = 1.2;  // handshake <= 1.2 x echo floor
constexpr double kCodecLimitNs = 2000;    // decode and encode of any call
constexpr std::size_t kIdleLimitKiB = 6 * 1024;
constexpr double kPerConnectionLimitKiB = 32;
constexpr double kRelayShare = 0.95;      // agent >= 0.95 x bare relay, calls per second
constexpr double kUserOverRelayUs = 1.0;  // agent's user CPU per call <= bare relay's + 1 us
constexpr double kReceiveCalls = 2;       // system calls on the socket to receive a call
constexpr double kSendCalls = 1;          // and to answer it
// strace may see one wait begun before the count started or cut when it ended.
constexpr double kCountSlack = 0.01;

std::string cell(const PathFigure& figure) {
    if (!figure.summary) return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%.1f / %.1f", figure.summary->median_us,
                  figure.summary->p99_us);
    return text;
}

std::string rate(const std::map<std::size_t, Throughput>& rates, std::size_t connections) {
    auto found = rates.find(connections);
    if (found == rates.end() || found->second.error) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", found->second.per_second);
    return text;
}

const CodecFigure* codec_of(const Report& report, const std::string& message) {
    for (const CodecFigure& figure : report.codec)
        if (figure.message == message) return &figure;
    return nullptr;
}

// The in-process messages that make up one unit of a call.
std::vector<std::string> codec_messages(CallKind kind) {
    switch (kind) {
    case CallKind::Handshake: return {"handshake"};
    case CallKind::EstablishRelease: return {"establish", "release"};
    case CallKind::ListReaders: return {"list_readers"};
    case CallKind::StatusChange: return {"status_change"};
    case CallKind::Status: return {"status"};
    }
    return {};
}

struct Verdicts {
    int met = 0;
    int missed = 0;
    int open = 0;
    void add(const char* label, std::optional<bool> ok, const std::string& detail) {
        const char* word = !ok ? "NOT MEASURED" : *ok ? "met" : "MISSED";
        (!ok ? open : *ok ? met : missed) += 1;
        std::printf("  %-12s %-44s %s\n", word, label, detail.c_str());
    }
};

void print_latency(const Report& report) {
    std::printf("\n== Latency of one call, microseconds: median / 99th percentile\n");
    std::printf("%-26s %4s %8s %14s %14s %14s %14s %10s %6s\n", "call", "msgs", "bytes", "direct",
                "through agent", "echo floor", "bare relay", "in-process", "ratio");
    for (const CallFigures& c : report.calls) {
        double codec_ns = 0;
        bool have_codec = true;
        for (const std::string& m : codec_messages(c.call.kind)) {
            const CodecFigure* f = codec_of(report, m);
            have_codec &= f != nullptr;
            if (f != nullptr) codec_ns += f->median_ns;
        }
        char codec[24] = "-";
        if (have_codec) std::snprintf(codec, sizeof codec, "%.3f", codec_ns / 1000.0);
        char bytes[24];
        std::snprintf(bytes, sizeof bytes, "%zu/%zu", c.request_bytes, c.reply_bytes);
        // Through agent over direct for a PC/SC call, over the echo floor for the handshake.
        char ratio[24] = "-";
        const PathFigure& base = c.call.has_direct ? c.direct : c.echo;
        if (c.agent.summary && base.summary && base.summary->median_us > 0)
            std::snprintf(ratio, sizeof ratio, "%.2f%s",
                          c.agent.summary->median_us / base.summary->median_us,
                          c.call.has_direct ? "" : "e");
        std::printf("%-26s %4zu %8s %14s %14s %14s %14s %10s %6s\n", c.call.name, c.messages, bytes,
                    cell(c.direct).c_str(), cell(c.agent).c_str(), cell(c.echo).c_str(),
                    cell(c.relay).c_str(), codec, ratio);
    }
    std::printf(
        "  bytes: request/reply WebSocket payload per unit. bare relay: the echo server making\n"
        "  the direct call on its connection thread before it replies, without decoding (the\n"
        "  least any relay costs here). in-process: median of process() with an instant PC/SC service, us.\n"
        "  ratio: through agent / direct (e: / echo floor).\n");
    for (const CallFigures& c : report.calls) {
        if (c.placeholder) std::printf("  %s: %s\n", c.call.name, c.placeholder->c_str());
        for (const auto* path : {&c.direct, &c.agent, &c.echo, &c.relay})
            if (path->note) std::printf("  %s: %s\n", c.call.name, path->note->c_str());
    }
}

void print_throughput(const Report& report) {
    std::printf("\n== Calls per second, one call in flight per connection (or thread, direct)\n");
    std::printf("%-26s %-14s", "call", "path");
    for (std::size_t n : report.connection_counts) std::printf(" %10zu conn", n);
    std::printf("\n");
    for (const CallFigures& c : report.calls) {
        const std::pair<const char*, const std::map<std::size_t, Throughput>*> rows[] = {
            {"direct", &c.direct_rate},
            {"through agent", &c.agent_rate},
            {"echo floor", &c.echo_rate}};
        for (const auto& [label, rates] : rows) {
            if (rates->empty()) continue;
            std::printf("%-26s %-14s", c.call.name, label);
            for (std::size_t n : report.connection_counts)
                std::printf(" %15s", rate(*rates, n).c_str());
            std::printf("\n");
            for (const auto& [n, r] : *rates)
                if (r.error) std::printf("  %zu connections: %s\n", n, r.error->c_str());
        }
    }
}

void print_side_by_side(const Report& report) {
    if (report.side_by_side.empty() && report.in_order.empty()) return;
    std::printf(
        "\n== ListReaders per second over one connection, one call in flight per context\n");
    std::printf("%-26s", "connection");
    for (std::size_t n : report.connection_counts) std::printf(" %10zu ctx ", n);
    std::printf("\n");
    const std::pair<const char*, const std::map<std::size_t, Throughput>*> rows[] = {
        {"replies in any order", &report.side_by_side}, {"strict order", &report.in_order}};
    for (const auto& [label, rates] : rows) {
        std::printf("%-26s", label);
        for (std::size_t n : report.connection_counts)
            std::printf(" %15s", rate(*rates, n).c_str());
        std::printf("\n");
        for (const auto& [n, r] : *rates)
            if (r.error) std::printf("  %zu contexts: %s\n", n, r.error->c_str());
    }
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::string ratio_text(const Alternation& a) {
    const std::vector<double> ratios = a.ratios();
    if (ratios.empty()) return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%.3f (%.3f-%.3f)", median(ratios),
                  *std::min_element(ratios.begin(), ratios.end()),
                  *std::max_element(ratios.begin(), ratios.end()));
    return text;
}

// The agent's CPU per call over the bare relay's, summed over the windows of each path.
std::string cost_text(const Alternation& a) {
    const auto user = a.user_over_relay();
    const auto all = a.cpu_over_relay();
    if (!user || !all) return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%+.2f, %+.2f", *user, *all);
    return text;
}

void print_alternating(const Report& report) {
    if (report.alternating.empty()) return;
    std::printf(
        "\n== Through agent against the bare relay, strict order: calls per second in %zu windows\n"
        "   of %.2f s per path, taking turns (medians of the windows)\n",
        report.window_plan.windows,
        static_cast<double>(report.window_plan.length.count()) / 1000.0);
    std::printf("%-26s %5s %14s %14s   %-28s %-8s %s\n", "call", "conn", "through agent",
                "bare relay", "agent/bare: median (min-max)", "",
                "CPU us/call over bare: user, all");
    for (const AlternateFigures& f : report.alternating) {
        if (f.note) std::printf("%-26s %s\n", f.call.name, f.note->c_str());
        for (const auto& [n, a] : f.by_connections) {
            if (a.error) {
                std::printf("%-26s %5zu %s\n", f.call.name, n, a.error->c_str());
                continue;
            }
            const std::vector<double> ratios = a.ratios();
            const char* mark = ratios.empty()                  ? ""
                               : median(ratios) >= kRelayShare ? ">= 0.95"
                                                               : "< 0.95";
            std::printf("%-26s %5zu %14.0f %14.0f   %-28s %-8s %s\n", f.call.name, n,
                        median(a.agent), median(a.relay), ratio_text(a).c_str(), mark,
                        cost_text(a).c_str());
        }
    }
}

void print_syscalls(const Report& report) {
    if (!report.agent_syscalls && !report.relay_syscalls && report.syscall_notes.empty()) return;
    const auto& any = report.agent_syscalls ? report.agent_syscalls : report.relay_syscalls;
    if (!any) {
        std::printf("\n== System calls of the server per strict-order ListReaders: not counted\n");
        for (const std::string& note : report.syscall_notes) std::printf("  %s\n", note.c_str());
        return;
    }
    std::printf(
        "\n== System calls of the server per strict-order ListReaders (strace attached to it, %zu\n"
        "   calls over one connection)\n",
        any->units);
    std::printf("%-16s %26s %6s %6s %16s\n", "path", "on the socket: receive", "send", "other",
                "process in all");
    const std::pair<const char*, const std::optional<SyscallFigure>*> rows[] = {
        {"through agent", &report.agent_syscalls}, {"bare relay", &report.relay_syscalls}};
    for (const auto& [label, figure] : rows) {
        if (!*figure) continue;
        const SyscallFigure& f = **figure;
        std::printf("%-16s %26.2f %6.2f %6.2f %16.2f\n", label, f.receive, f.send, f.other,
                    f.process);
        std::string names;
        for (const auto& [name, each] : f.by_name) {
            char part[48];
            std::snprintf(part, sizeof part, "%s%s %.2f", names.empty() ? "" : ", ", name.c_str(),
                          each);
            names += part;
        }
        std::printf("  %s on its socket: %s\n", label, names.empty() ? "none seen" : names.c_str());
    }
    std::printf(
        "  receive: reads and polls of the connection's socket; process in all: every thread's\n"
        "  system calls while the calls ran, pcsc-lite's on its socket to pcscd among them.\n");
    for (const std::string& note : report.syscall_notes) std::printf("  %s\n", note.c_str());
}

std::size_t field(const MemoryFigure& m, const char* name) {
    auto found = m.status.find(name);
    return found == m.status.end() ? 0 : found->second;
}

// Resident KiB per open connection over the idle agent that has served one connection.
std::optional<double> per_connection(const Report& report, const MemoryFigure& m) {
    if (report.memory.size() < 2 || m.connections == 0) return std::nullopt;
    const MemoryFigure& base = report.memory[1];
    return (static_cast<double>(field(m, "VmRSS")) - static_cast<double>(field(base, "VmRSS"))) /
           static_cast<double>(m.connections);
}

void print_memory(const Report& report) {
    std::printf("\n== Agent resident memory (/proc/<pid>/status), KiB\n");
    std::printf("%-34s %9s %9s %9s %9s %8s %15s\n", "state", "VmRSS", "RssAnon", "RssFile",
                "stacks", "threads", "KiB/connection");
    for (const MemoryFigure& m : report.memory) {
        char per[24] = "-";
        if (auto each = per_connection(report, m)) std::snprintf(per, sizeof per, "%.1f", *each);
        std::printf("%-34s %9zu %9zu %9zu %9zu %8zu %15s\n", m.label.c_str(), field(m, "VmRSS"),
                    field(m, "RssAnon"), field(m, "RssFile"), field(m, "StackRss"),
                    field(m, "Threads"), per);
    }
    if (report.memory.size() >= 4) {
        const MemoryFigure& a = report.memory[report.memory.size() - 2];
        const MemoryFigure& b = report.memory.back();
        double slope =
            (static_cast<double>(field(b, "VmRSS")) - static_cast<double>(field(a, "VmRSS"))) /
            static_cast<double>(b.connections - a.connections);
        double stacks = (static_cast<double>(field(b, "StackRss")) -
                         static_cast<double>(field(a, "StackRss"))) /
                        static_cast<double>(b.connections - a.connections);
        std::printf(
            "  from %zu to %zu connections: %.1f KiB each, of which %.1f KiB thread stack\n",
            a.connections, b.connections, slope, stacks);
    }
    if (report.memory_note) std::printf("  %s\n", report.memory_note->c_str());
}

}  // namespace

int print_report(const Report& report) {
    if (!report.calls.empty()) {
        print_latency(report);
        print_throughput(report);
    }
    print_side_by_side(report);
    print_alternating(report);
    print_syscalls(report);
    if (!report.memory.empty() || report.memory_note) print_memory(report);
    if (!report.codec.empty()) {
        std::printf(
            "\n== In-process decode and encode (process() with an instant PC/SC), ns, median\n");
        for (const CodecFigure& f : report.codec)
            std::printf("  %-16s %8.0f\n", f.message.c_str(), f.median_ns);
    }
    for (const std::string& note : report.notes) std::printf("note: %s\n", note.c_str());

    std::printf("\n== Targets\n");
    Verdicts v;
    for (const CallFigures& c : report.calls) {
        char detail[160] = "";
        if (!c.call.has_direct) {
            std::optional<bool> ok;
            if (c.agent.summary && c.echo.summary) {
                double limit = kHandshakeFactor * c.echo.summary->median_us;
                ok = c.agent.summary->median_us <= limit;
                std::snprintf(detail, sizeof detail,
                              "%.1f us vs limit %.1f (1.2 x echo %.1f): %.2f x echo",
                              c.agent.summary->median_us, limit, c.echo.summary->median_us,
                              c.agent.summary->median_us / c.echo.summary->median_us);
            }
            v.add("handshake within 1.2 x echo floor", ok, detail);
            continue;
        }
        std::optional<bool> ok;
        if (c.placeholder) {
            std::snprintf(detail, sizeof detail, "placeholder handler: %s", c.placeholder->c_str());
        } else if (c.agent.summary && c.direct.summary && c.echo.summary) {
            double limit = kAgentFactor * c.direct.summary->median_us + c.echo.summary->median_us;
            ok = c.agent.summary->median_us <= limit;
            double overhead = c.agent.summary->median_us - c.direct.summary->median_us -
                              c.echo.summary->median_us;
            std::snprintf(
                detail, sizeof detail,
                "%.1f us vs limit %.1f (1.15 x %.1f + %.1f); agent adds %.1f us over direct+floor",
                c.agent.summary->median_us, limit, c.direct.summary->median_us,
                c.echo.summary->median_us, overhead);
        }
        std::string label = std::string(c.call.name) + " <= 1.15 x direct + floor";
        v.add(label.c_str(), ok, detail);
    }
    for (const CodecFigure& f : report.codec) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "%.0f ns", f.median_ns);
        std::string label = "in-process " + f.message + " < 2 us";
        v.add(label.c_str(), f.median_ns < kCodecLimitNs, detail);
    }
    for (const AlternateFigures& f : report.alternating) {
        for (const auto& [n, a] : f.by_connections) {
            std::optional<bool> ok;
            std::string detail =
                a.error ? *a.error : ratio_text(a) + " of the bare relay's calls per second";
            if (!a.error && !a.ratios().empty()) ok = median(a.ratios()) >= kRelayShare;
            const std::string conns = std::to_string(n) + (n == 1 ? " conn" : " conns");
            std::string label = std::string(f.call.name) + " >= 0.95 x bare relay, " + conns;
            v.add(label.c_str(), ok, detail);
            const auto user = a.user_over_relay();
            std::optional<bool> cheap;
            std::string cost = a.error ? *a.error : "not measured";
            if (user && !a.error) {
                cheap = *user <= kUserOverRelayUs;
                cost = cost_text(a) + " us (user, all) per call";
            }
            label = std::string(f.call.name) + " user CPU <= bare relay + 1 us, " + conns;
            v.add(label.c_str(), cheap, cost);
        }
    }
    if (report.agent_syscalls || !report.syscall_notes.empty()) {
        const auto& f = report.agent_syscalls;
        auto within = [&](double each,
                          double limit) -> std::pair<std::optional<bool>, std::string> {
            if (!f) return {std::nullopt, "not counted"};
            char detail[32];
            std::snprintf(detail, sizeof detail, "%.2f per call", each);
            return {each <= limit + kCountSlack, detail};
        };
        auto [received, received_detail] = within(f ? f->receive : 0, kReceiveCalls);
        v.add("strict call received in <= 2 socket calls", received, received_detail);
        auto [answered, answered_detail] = within(f ? f->send : 0, kSendCalls);
        v.add("strict call answered in 1 socket call", answered, answered_detail);
    }
    if (!report.memory.empty()) {
        std::size_t rss = field(report.memory.front(), "VmRSS");
        char detail[64];
        std::snprintf(detail, sizeof detail, "%zu KiB (%.2f MiB)", rss,
                      static_cast<double>(rss) / 1024);
        v.add("idle agent under 6 MiB resident", rss < kIdleLimitKiB, detail);
        for (const MemoryFigure& m : report.memory) {
            auto each = per_connection(report, m);
            if (!each) continue;
            std::snprintf(detail, sizeof detail, "%.1f KiB each", *each);
            std::string label =
                "under 32 KiB per idle connection (" + std::to_string(m.connections) + ")";
            v.add(label.c_str(), *each < kPerConnectionLimitKiB, detail);
        }
    }
    std::printf("\n%d met, %d missed, %d not measured\n", v.met, v.missed, v.open);
    return v.missed;
}

}  // namespace kx_agent::bench
