#pragma once
// The decoding and encoding of each call alone: `kx_agent::server::process` in this process,
// with a PC/SC service that answers at once, timed by Google Benchmark.
#include <string>
#include <vector>

namespace kx_agent::bench {

struct CodecFigure {
    std::string message;  // "establish", "release", ...
    double median_ns = 0;
};

// Runs the codec benchmarks (Google Benchmark's flags, given to benchmark::Initialize before,
// apply) and returns the median of the repetitions for each message.
std::vector<CodecFigure> run_codec_benchmarks();

}  // namespace kx_agent::bench
