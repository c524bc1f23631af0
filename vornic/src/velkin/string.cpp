#include "velkin/string.h"

namespace vornic::velkin::string {

std::string FromAsciiBytes::from_ascii_bytes(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const uint8_t byte : bytes) {
        if (byte < 0x80) {
            text.push_back(static_cast<char>(byte));
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

std::string to_lower(std::string_view text) {
    std::string lower(text);
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const auto byte = static_cast<uint8_t>(lower[i]);
        if (byte >= 'A' && byte <= 'Z') {
            lower[i] = static_cast<char>(byte + 32);
        } else if (byte == 0xC3 && i + 1 < lower.size()) {
            // U+00C0..U+00DE are C3 80..C3 9E; their small forms are 32 code points higher.
            const auto next = static_cast<uint8_t>(lower[i + 1]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97) {
                lower[i + 1] = static_cast<char>(next + 32);
            }
            ++i;
        }
    }
    return lower;
}

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadRule {
    std::size_t length;  // bytes in the whole sequence
    uint8_t second_low;  // allowed range of the second byte (Unicode table 3-7)
    uint8_t second_high;
};

// 0 length: the byte cannot start a sequence.
LeadRule lead_rule(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
    if (byte == 0xE0) return {3, 0xA0, 0xBF};
    if (byte == 0xED) return {3, 0x80, 0x9F};  // no surrogates
    if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
    if (byte == 0xF0) return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
    if (byte == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
    return {0, 0, 0};
}

}  // namespace

std::string from_utf8_lossy(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadRule rule = lead_rule(lead);
        if (rule.length == 0) {
            text.append(kReplacement);
            ++i;
            continue;
        }
        // Count how much of the sequence is well formed; a broken one is replaced as a whole
        // up to (not including) the first byte that does not fit.
        std::size_t good = 1;
        while (good < rule.length && i + good < bytes.size()) {
            const uint8_t byte = bytes[i + good];
            const bool fits = good == 1 ? (byte >= rule.second_low && byte <= rule.second_high)
                                        : (byte >= 0x80 && byte <= 0xBF);
            if (!fits) {
                break;
            }
            ++good;
        }
        if (good == rule.length) {
            text.append(reinterpret_cast<const char*>(bytes.data() + i), good);
        } else {
            text.append(kReplacement);
        }
        i += good;
    }
    return text;
}

}  // namespace vornic::velkin::string

namespace vornic::velkin::string {

std::string escape_line(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto bytes = bytes_of(text);
    std::string line;
    line.reserve(bytes.size());
    const auto hex_byte = [&line](uint8_t byte) {
        line += "\\x";
        line += kHex[byte >> 4];
        line += kHex[byte & 15];
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            switch (lead) {
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            case '\t': line += "\\t"; break;
            case '\\': line += "\\\\"; break;
            default:
                if (lead < 0x20 || lead == 0x7F) {
                    hex_byte(lead);
                } else {
                    line.push_back(static_cast<char>(lead));
                }
            }
            ++i;
            continue;
        }
        const LeadRule rule = lead_rule(lead);
        std::size_t good = rule.length == 0 ? 0 : 1;
        while (good > 0 && good < rule.length && i + good < bytes.size()) {
            const uint8_t byte = bytes[i + good];
            const bool fits = good == 1 ? (byte >= rule.second_low && byte <= rule.second_high)
                                        : (byte >= 0x80 && byte <= 0xBF);
            if (!fits) {
                break;
            }
            ++good;
        }
        if (good == 0 || good < rule.length) {
            hex_byte(lead);  // not UTF-8: each byte of the broken sequence on its own
            ++i;
        } else if (lead == 0xC2 && bytes[i + 1] < 0xA0) {
            // C1 controls (U+0080 to U+009F): some terminals take U+009B as CSI.
            line += "\\u00";
            line += kHex[bytes[i + 1] >> 4];
            line += kHex[bytes[i + 1] & 15];
            i += 2;
        } else {
            line.append(text.substr(i, good));
            i += good;
        }
    }
    return line;
}

}  // namespace vornic::velkin::string
