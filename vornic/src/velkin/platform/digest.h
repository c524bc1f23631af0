#pragma once
// SHA-1 (FIPS 180-4) and Base64 (RFC 4648, standard alphabet with "=" padding), which the
// WebSocket accept value needs: OpenSSL's libcrypto on POSIX, the system's BCrypt and CryptoAPI
// on Windows, so the Windows program needs no crypto library of its own.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vornic::velkin::digest {

using Sha1 = std::array<uint8_t, 20>;

// nullopt only when the system's crypto provider fails.
std::optional<Sha1> sha1(std::span<const uint8_t> bytes);
std::optional<std::string> base64(std::span<const uint8_t> bytes);

}  // namespace vornic::velkin::digest
