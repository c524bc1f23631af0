#pragma once
// The agent's diagnostic lines: standard output for what a user reads, standard error for
// failures. Every line of the call relay and the server goes through here, so that how lines
// reach the terminal (and what happens when nobody reads them) is decided in one place.
//
// While an Output lives (main holds one), lines are not written by the thread that makes them:
// they go into one bounded queue that a thread of its own writes out, in the order they came. A
// standard output that nobody reads (a full pipe, a console held in selection mode) then stops
// only that thread; the connections and the release of abandoned contexts go on. When the queue
// is full, lines are dropped and counted, and the count is said once writing works again.
// Without an Output (the tests of the relay), lines are written at once.
#include <cstddef>
#include <string>

namespace kx_agent::diagnostics {

// One line on standard output; the line end is added.
void out(std::string line);
// One line on standard error; the line end is added.
void err(std::string line);

// A line that a client can cause: a call, a refusal, a connection's end, a text message. While
// an Output lives, all of them together take at most kClientBytesPerSecond, saved up to
// kClientBurstBytes: a line that finds the budget spent is counted instead of printed, and the
// count is said ("N lines not shown (too many at once)") before the next line that fits. A
// client that floods the agent then neither fills the disk nor pushes the agent's own lines out
// of a rate-limited journal. Without an Output, lines are written at once, as out and err do.
inline constexpr std::size_t kClientBytesPerSecond = 4096;
inline constexpr std::size_t kClientBurstBytes = 16384;
void client_out(std::string line);
void client_err(std::string line);

// --verbose: one line per relayed call and the reasons connections are refused or closed.
bool verbose();
void set_verbose(bool on);

// The queue's bounds: lines waiting, and their bytes.
inline constexpr std::size_t kQueueLines = 4096;
inline constexpr std::size_t kQueueBytes = 1024 * 1024;

// Starts the writer thread and sends std::cout and std::cerr through the queue as well (so that
// the banner, the ready line and every other line keep their order). Its end writes out what is
// queued, waiting at most a few seconds for an output that does not take it.
class Output {
public:
    Output();
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
};

// Waits (at most `seconds`) until every line queued so far has been written.
void flush(unsigned seconds = 3);

// Lines dropped so far because the queue was full.
std::size_t dropped();

}  // namespace kx_agent::diagnostics
