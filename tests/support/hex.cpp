// The hex helpers of wire.h, apart from the relay's builders so that the server library's tests
// can use them without the agent.
#include <cctype>
#include <stdexcept>

#include "wire.h"

namespace kx_agent::test {

Bytes from_hex(std::string_view hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (v < 0 || v > 15) throw std::invalid_argument("not hex");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex");
    return out;
}

std::string to_hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace kx_agent::test
