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

namespace {
void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_unit(std::vector<uint8_t>& out, uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}
}  // namespace

std::optional<std::vector<uint8_t>> utf8_to_utf16le(std::string_view text) {
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    while (!bytes.empty()) {
        std::size_t n = utf8_sequence(bytes);
        if (n == 0) return std::nullopt;
        static constexpr uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
        uint32_t cp = bytes[0] & kLeadMask[n];
        for (std::size_t i = 1; i < n; ++i) cp = cp << 6 | (bytes[i] & 0x3F);
        if (cp < 0x10000) {
            append_unit(out, cp);
        } else {
            cp -= 0x10000;
            append_unit(out, 0xD800 | cp >> 10);
            append_unit(out, 0xDC00 | (cp & 0x3FF));
        }
        bytes = bytes.subspan(n);
    }
    return out;
}

std::optional<std::string> utf16le_to_utf8(std::span<const uint8_t> bytes) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t unit = bytes[i] | uint32_t{bytes[i + 1]} << 8;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return std::nullopt;  // low surrogate first
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= bytes.size()) return std::nullopt;
            uint32_t low = bytes[i + 2] | uint32_t{bytes[i + 3]} << 8;
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            unit = 0x10000 + ((unit - 0xD800) << 10 | (low - 0xDC00));
            i += 2;
        }
        append_utf8(out, unit);
    }
    return out;
}

}  // namespace kx_agent::utilities
