#pragma once
// Text made from wire bytes.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vornic::velkin::string {

// HTTP head text is ISO 8859-1: each byte becomes the character with the same code, stored
// UTF-8 encoded. ASCII passes unchanged and no byte sequence is refused.
struct FromAsciiBytes {
    static std::string from_ascii_bytes(std::span<const uint8_t> bytes);
};

// The bytes of a text, for writing it to the wire.
inline std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Lower-cases ASCII letters and the Latin-1 capitals (U+00C0 to U+00DE but U+00D7) of UTF-8
// text; every other character is kept as it is.
std::string to_lower(std::string_view text);

// UTF-8 text from bytes, each ill-formed sequence replaced by U+FFFD (one per maximal subpart,
// as Unicode's "best practice" for U+FFFD substitution says).
std::string from_utf8_lossy(std::span<const uint8_t> bytes);

// Client bytes made fit for one line of output: line ends, tab and backslash as \n, \r, \t and
// \\; other C0 controls, DEL and each byte that is not part of well-formed UTF-8 as \xNN; C1
// controls as \u00NN. The result holds no control character, so it cannot end the line or
// drive a terminal.
std::string escape_line(std::string_view text);

}  // namespace vornic::velkin::string
