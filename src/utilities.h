#pragma once
// Byte helpers of the call relay.
#include <cstdint>
#include <span>
#include <string>
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

}  // namespace kx_agent::utilities
