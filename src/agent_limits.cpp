#include "agent_limits.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>

#include "diagnostics.h"

namespace kx_agent {
namespace {
Limits current;

// One variable: a whole decimal number within [lowest, highest], or the default stays (and the
// reason is said: a typing error must not pass unnoticed, nor stop an agent that users need).
template <class T>
void read_one(const char* name, T& field, T lowest, T highest) {
    const char* value = std::getenv(name);
    if (value == nullptr) return;
    const std::string_view text(value);
    unsigned long long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        number < lowest || number > highest) {
        diagnostics::err(std::string(name) + "=" + std::string(text) + " is not a number from " +
                         std::to_string(lowest) + " to " + std::to_string(highest) + "; " +
                         std::to_string(field) + " is kept.");
        return;
    }
    field = static_cast<T>(number);
}
}  // namespace

const Limits& limits() { return current; }
void set_limits(const Limits& value) { current = value; }

void read_limits_from_environment() {
    Limits read = current;
    read_one<std::size_t>("TOLVANE_MAX_CONNECTIONS", read.connections, 1, 100000);
    read_one<unsigned>("TOLVANE_HEAD_SECONDS", read.head_seconds, 1, 3600);
    read_one<unsigned>("TOLVANE_IDLE_SECONDS", read.idle_seconds, 1, 86400);
    read_one<std::size_t>("TOLVANE_CONTEXTS_PER_CONNECTION", read.contexts_per_connection, 1, 1024);
    read_one<std::size_t>("TOLVANE_MAX_CONTEXTS", read.contexts, 1, 65536);
    read_one<std::size_t>("TOLVANE_CARDS_PER_CONTEXT", read.cards_per_context, 1, 65536);
    read_one<std::size_t>("TOLVANE_MAX_CARDS", read.cards, 1, 65536);
    read_one<std::size_t>("TOLVANE_CALLS_IN_FLIGHT", read.calls_in_flight, 1, 4096);
    read_one<std::size_t>("TOLVANE_QUEUED_MIB_PER_CONNECTION", read.queued_mib_per_connection, 1,
                          1024);
    read_one<std::size_t>("TOLVANE_MAX_QUEUED_MIB", read.queued_mib, 1, 65536);
    set_limits(read);
}

}  // namespace kx_agent
