#include "utilities.h"

#include <cstring>

namespace kx_agent::utilities {

uint64_t as_u32_le(std::span<const uint8_t> bytes) {
    if (bytes.size() != 4 && bytes.size() != 8) return 0;
    uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

std::string u8_ptr_to_string(const char* text) {
    if (text == nullptr) return {};
    return utf8_lossy({reinterpret_cast<const uint8_t*>(text), std::strlen(text)});
}

int32_t vec_indexOf(const std::vector<uint8_t>& bytes, uint8_t value, int32_t start) {
    if (start < 0) return -1;
    for (std::size_t i = static_cast<std::size_t>(start); i < bytes.size(); ++i)
        if (bytes[i] == value) return static_cast<int32_t>(i);
    return -1;
}

namespace {
// Length of the well-formed UTF-8 sequence at the start of `b` (RFC 3629), or 0.
std::size_t utf8_sequence(std::span<const uint8_t> b) {
    uint8_t c = b[0];
    if (c < 0x80) return 1;
    std::size_t n;
    uint8_t lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c == 0xE0) n = 3, lo = 0xA0;
    else if (c >= 0xE1 && c <= 0xEC) n = 3;
    else if (c == 0xED) n = 3, hi = 0x9F;  // no UTF-16 surrogates
    else if (c >= 0xEE && c <= 0xEF) n = 3;
    else if (c == 0xF0) n = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) n = 4;
    else if (c == 0xF4) n = 4, hi = 0x8F;  // nothing above U+10FFFF
    else return 0;
    if (b.size() < n) return 0;
    if (b[1] < lo || b[1] > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((b[i] & 0xC0) != 0x80) return 0;
    return n;
}
}  // namespace

std::string utf8_lossy(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t n = utf8_sequence(bytes);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            // Skip the lead byte and the continuation bytes that cannot start a sequence.
            std::size_t skip = 1;
            while (skip < bytes.size() && skip < 4 && (bytes[skip] & 0xC0) == 0x80) ++skip;
            bytes = bytes.subspan(skip);
        } else {
            out.append(reinterpret_cast<const char*>(bytes.data()), n);
            bytes = bytes.subspan(n);
        }
    }
    return out;
}

}  // namespace kx_agent::utilities
