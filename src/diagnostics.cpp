#include "diagnostics.h"

#include <atomic>
#include <iostream>
#include <syncstream>

namespace kx_agent::diagnostics {
namespace {
std::atomic<bool> verbose_on{false};
}  // namespace

void out(std::string line) {
    line += '\n';
    std::osyncstream(std::cout) << line << std::flush;
}

void err(std::string line) {
    line += '\n';
    std::osyncstream(std::cerr) << line << std::flush;
}

bool verbose() { return verbose_on.load(std::memory_order_relaxed); }
void set_verbose(bool on) { verbose_on.store(on, std::memory_order_relaxed); }

}  // namespace kx_agent::diagnostics
