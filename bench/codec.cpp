#include "bench/codec.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/calls.h"
#include "bench/workloads.h"
#include "data_view.h"
#include "server/process.h"
#include "tests/support/fake_pcsc.h"

namespace kx_agent::bench {
namespace {

struct CodecCase {
    const char* message;
    Bytes request;
};

// A PC/SC service that answers at once, for timing the decoding and encoding of a call alone,
// with the shapes of the real service's answers for the virtual readers: two readers, a card
// with an 11-byte ATR in the first, T=1. Calls are not recorded.
void answer_as_the_virtual_readers(test::FakePcsc& service) {
    service.keep_calls = false;
    service.readers.assign("Virtual PCD 00 00\0Virtual PCD 00 01\0\0", 37);
    service.status_names.assign("Virtual PCD 00 00\0\0", 19);
    service.atr = {0x3B, 0x8A, 0x80, 0x01, 0x00, 0x31, 0xC1, 0x73, 0xC8, 0x40, 0x00};
    service.event_state = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT;
    service.attribute = {0x01, 0x00, 0x00, 0x00};
}

std::vector<CodecCase> codec_cases(const test::FakePcsc& service) {
    const uint64_t context = service.context;
    const std::vector<std::string> readers{kReaderOne, kReaderTwo};
    return {
        {"handshake", handshake_message()},
        {"establish", establish_call(2)},
        {"release", release_call(context)},
        {"list_readers", list_readers_call(context, kReaderListSize)},
        {"status_change", status_change_call(context, readers)},
        {"status", status_call(context, service.card)},
    };
}

// What the relay does per binary message, less the socket: a fresh reply vector and view, and
// process.
void relay_one(benchmark::State& state, const Bytes& request, const smartcard::Services& services) {
    for (auto _ : state) {
        std::vector<uint8_t> reply;
        data_view::DataView view(reply, 0);
        bool answered = server::process(request, view, services);
        benchmark::DoNotOptimize(answered);
        benchmark::DoNotOptimize(reply.data());
        benchmark::ClobberMemory();
    }
}

// Forwards to the console and keeps the median of the repetitions of each benchmark.
class MedianKeeper final : public benchmark::ConsoleReporter {
public:
    explicit MedianKeeper(std::vector<CodecFigure>& figures)
        : benchmark::ConsoleReporter(OO_Tabular), figures_(figures) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            double ns = run.GetAdjustedRealTime();
            if (run.time_unit == benchmark::kMicrosecond) ns *= 1e3;
            if (run.time_unit == benchmark::kMillisecond) ns *= 1e6;
            std::string name = run.run_name.function_name;
            figures_.push_back({name.substr(name.find('/') + 1), ns});
        }
        benchmark::ConsoleReporter::ReportRuns(runs);
    }

private:
    std::vector<CodecFigure>& figures_;
};

}  // namespace

std::vector<CodecFigure> run_codec_benchmarks() {
    test::FakePcsc service;
    answer_as_the_virtual_readers(service);
    const std::vector<CodecCase> cases = codec_cases(service);
    for (const CodecCase& c : cases) {
        benchmark::RegisterBenchmark((std::string("process/") + c.message).c_str(), relay_one,
                                     c.request, service.services())
            ->Unit(benchmark::kNanosecond)
            ->MinTime(0.1)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    std::vector<CodecFigure> figures;
    MedianKeeper reporter(figures);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::ClearRegisteredBenchmarks();
    return figures;
}

}  // namespace kx_agent::bench
