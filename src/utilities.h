#pragma once
// Byte helpers of the call relay.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kx_agent::utilities {

// 4 bytes: their little-endian 32-bit value; 8 bytes: their 64-bit value; any other length: 0.
uint64_t as_u32_le(std::span<const uint8_t> bytes);

// The bytes before the first zero as text; invalid UTF-8 becomes U+FFFD. A null pointer gives
// the empty text.
std::string u8_ptr_to_string(const char* text);

// Index of the first `value` at or after `start`, or -1 (also when start is out of range).
int32_t vec_indexOf(const std::vector<uint8_t>& bytes, uint8_t value, int32_t start);

// UTF-8 text of `bytes`, each invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::span<const uint8_t> bytes);

// Strict conversions between UTF-8 and UTF-16LE bytes, zero characters included. Nothing is
// replaced: invalid UTF-8 (overlong forms, encoded surrogates, code points above U+10FFFF,
// sequences cut short), an unpaired surrogate or an odd number of UTF-16 bytes gives nullopt.
std::optional<std::vector<uint8_t>> utf8_to_utf16le(std::string_view text);
std::optional<std::string> utf16le_to_utf8(std::span<const uint8_t> bytes);

}  // namespace kx_agent::utilities
