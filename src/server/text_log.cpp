#include "server/text_log.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

#include "diagnostics.h"
#include "velkin/string.h"

namespace kx_agent::server::text_log {
namespace {

// The bytes all connections' text lines may take: kBytesPerSecond, saved up to kBurstBytes.
class Budget {
public:
    // Whether `line` may be printed now; the lines not printed are counted as `messages` text
    // messages. A line that fits goes out after the count of those refused before it.
    void offer(std::string line, std::size_t messages) {
        std::string missed;
        {
            std::lock_guard lock(mutex_);
            refill_locked();
            std::string note;
            if (unsaid_ > 0)
                note = std::to_string(unsaid_) + " more text message" + (unsaid_ == 1 ? "" : "s") +
                       " not shown (too many at once)";
            const std::size_t needed = line.size() + 1 + (note.empty() ? 0 : note.size() + 1);
            if (needed > available_) {
                unsaid_ += messages;
                return;
            }
            available_ -= needed;
            unsaid_ = 0;
            missed = std::move(note);
        }
        if (!missed.empty()) diagnostics::out(std::move(missed));
        diagnostics::out(std::move(line));
    }

private:
    using Clock = std::chrono::steady_clock;

    void refill_locked() {
        const auto now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
        const auto earned = elapsed.count() * static_cast<long long>(kBytesPerSecond) / 1000;
        if (earned <= 0) return;
        available_ = std::min(kBurstBytes, available_ + static_cast<std::size_t>(earned));
        last_ = now;
    }

    std::mutex mutex_;
    std::size_t available_ = kBurstBytes;
    std::size_t unsaid_ = 0;  // messages neither printed nor said in a count
    Clock::time_point last_ = Clock::now();
};

Budget& budget() {
    static Budget shared;
    return shared;
}

// Escaped, so that a client can neither forge lines of this output nor send escape sequences
// to the terminal; cut on a whole UTF-8 character.
std::string text_line(std::string_view text) {
    std::string_view shown = text;
    if (shown.size() > kLongestShown) {
        std::size_t cut = kLongestShown;
        while (cut > 0 && (static_cast<uint8_t>(shown[cut]) & 0xC0) == 0x80) --cut;
        shown = shown.substr(0, cut);
    }
    std::string line = "text:" + vornic::velkin::string::escape_line(shown);
    if (shown.size() < text.size())
        line += " ... (" + std::to_string(text.size() - shown.size()) + " bytes more)";
    return line;
}

}  // namespace

Connection::~Connection() {
    if (hidden_ == 0) return;
    budget().offer("connection " + std::to_string(id_) + ": " + std::to_string(hidden_) +
                       " more text message" + (hidden_ == 1 ? "" : "s"),
                   hidden_);
}

void Connection::print(std::string_view text) {
    if (!diagnostics::verbose() && shown_ >= kShownPerConnection) {
        ++hidden_;
        return;
    }
    ++shown_;
    budget().offer(text_line(text), 1);
}

}  // namespace kx_agent::server::text_log
