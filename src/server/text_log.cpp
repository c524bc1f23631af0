#include "server/text_log.h"

#include <string>

#include "diagnostics.h"
#include "velkin/string.h"

namespace kx_agent::server::text_log {
namespace {

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
    diagnostics::client_out("connection " + std::to_string(id_) + ": " + std::to_string(hidden_) +
                            " more text message" + (hidden_ == 1 ? "" : "s"));
}

void Connection::print(std::string_view text) {
    if (!diagnostics::verbose() && shown_ >= kShownPerConnection) {
        ++hidden_;
        return;
    }
    ++shown_;
    diagnostics::client_out(text_line(text));
}

}  // namespace kx_agent::server::text_log
