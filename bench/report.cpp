#include "bench/report.h"

#include <cstdio>
#include <string>

namespace kx_agent::bench {
namespace {

constexpr double kAgentFactor = 1.15;         // through the agent <= 1.15 x direct + echo floor
constexpr double kHandshakeFactor = 1.2;      // handshake <= 1.2 x echo floor
constexpr double kCodecLimitNs = 2000;        // decode and encode of any call
constexpr std::size_t kIdleLimitKiB = 6 * 1024;
constexpr double kPerConnectionLimitKiB = 32;

std::string cell(const PathFigure& figure) {
    if (!figure.summary) return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%.1f / %.1f", figure.summary->median_us, figure.summary->p99_us);
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
                "through agent", "echo floor", "ideal relay", "in-process", "ratio");
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
            std::snprintf(ratio, sizeof ratio, "%.2f%s", c.agent.summary->median_us / base.summary->median_us,
                          c.call.has_direct ? "" : "e");
        std::printf("%-26s %4zu %8s %14s %14s %14s %14s %10s %6s\n", c.call.name, c.messages, bytes,
                    cell(c.direct).c_str(), cell(c.agent).c_str(), cell(c.echo).c_str(),
                    cell(c.relay).c_str(), codec, ratio);
    }
    std::printf("  bytes: request/reply WebSocket payload per unit. ideal relay: the echo server making\n"
                "  the direct call on its connection thread before it replies (the least any relay\n"
                "  costs here). in-process: median of process() with an instant PC/SC service, us.\n"
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
            {"direct", &c.direct_rate}, {"through agent", &c.agent_rate}, {"echo floor", &c.echo_rate}};
        for (const auto& [label, rates] : rows) {
            if (rates->empty()) continue;
            std::printf("%-26s %-14s", c.call.name, label);
            for (std::size_t n : report.connection_counts) std::printf(" %15s", rate(*rates, n).c_str());
            std::printf("\n");
            for (const auto& [n, r] : *rates)
                if (r.error) std::printf("  %zu connections: %s\n", n, r.error->c_str());
        }
    }
}

void print_side_by_side(const Report& report) {
    if (report.side_by_side.empty() && report.in_order.empty()) return;
    std::printf("\n== ListReaders per second over one connection, one call in flight per context\n");
    std::printf("%-26s", "connection");
    for (std::size_t n : report.connection_counts) std::printf(" %10zu ctx ", n);
    std::printf("\n");
    const std::pair<const char*, const std::map<std::size_t, Throughput>*> rows[] = {
        {"replies in any order", &report.side_by_side}, {"strict order", &report.in_order}};
    for (const auto& [label, rates] : rows) {
        std::printf("%-26s", label);
        for (std::size_t n : report.connection_counts) std::printf(" %15s", rate(*rates, n).c_str());
        std::printf("\n");
        for (const auto& [n, r] : *rates)
            if (r.error) std::printf("  %zu contexts: %s\n", n, r.error->c_str());
    }
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
                    field(m, "RssAnon"), field(m, "RssFile"), field(m, "StackRss"), field(m, "Threads"), per);
    }
    if (report.memory.size() >= 4) {
        const MemoryFigure& a = report.memory[report.memory.size() - 2];
        const MemoryFigure& b = report.memory.back();
        double slope = (static_cast<double>(field(b, "VmRSS")) - static_cast<double>(field(a, "VmRSS"))) /
                       static_cast<double>(b.connections - a.connections);
        double stacks = (static_cast<double>(field(b, "StackRss")) - static_cast<double>(field(a, "StackRss"))) /
                        static_cast<double>(b.connections - a.connections);
        std::printf("  from %zu to %zu connections: %.1f KiB each, of which %.1f KiB thread stack\n",
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
    if (!report.memory.empty() || report.memory_note) print_memory(report);
    if (!report.codec.empty()) {
        std::printf("\n== In-process decode and encode (process() with an instant PC/SC), ns, median\n");
        for (const CodecFigure& f : report.codec) std::printf("  %-16s %8.0f\n", f.message.c_str(), f.median_ns);
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
                std::snprintf(detail, sizeof detail, "%.1f us vs limit %.1f (1.2 x echo %.1f): %.2f x echo",
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
            double overhead = c.agent.summary->median_us - c.direct.summary->median_us - c.echo.summary->median_us;
            std::snprintf(detail, sizeof detail,
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
    if (!report.memory.empty()) {
        std::size_t rss = field(report.memory.front(), "VmRSS");
        char detail[64];
        std::snprintf(detail, sizeof detail, "%zu KiB (%.2f MiB)", rss, static_cast<double>(rss) / 1024);
        v.add("idle agent under 6 MiB resident", rss < kIdleLimitKiB, detail);
        for (const MemoryFigure& m : report.memory) {
            auto each = per_connection(report, m);
            if (!each) continue;
            std::snprintf(detail, sizeof detail, "%.1f KiB each", *each);
            std::string label = "under 32 KiB per idle connection (" + std::to_string(m.connections) + ")";
            v.add(label.c_str(), *each < kPerConnectionLimitKiB, detail);
        }
    }
    std::printf("\n%d met, %d missed, %d not measured\n", v.met, v.missed, v.open);
    return v.missed;
}

}  // namespace kx_agent::bench
