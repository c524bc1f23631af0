// SHA-1 and Base64 with OpenSSL's libcrypto.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>

#include "velkin/platform/digest.h"

namespace vornic::velkin::digest {

namespace {

// Connection threads are detached and may still be hashing a handshake while the process
// exits. OpenSSL's own exit-time clean-up would then free the per-thread state such a thread
// still holds (a double free or a leak report under AddressSanitizer), so it is switched off:
// the process's memory goes back to the system at exit anyway.
bool openssl_ready() {
    static const bool ready = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    return ready;
}

}  // namespace

std::optional<Sha1> sha1(std::span<const uint8_t> bytes) {
    if (!openssl_ready()) {
        return std::nullopt;
    }
    Sha1 digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1 ||
        length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

std::optional<std::string> base64(std::span<const uint8_t> bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX) / 4 * 3 - 3) {
        return std::nullopt;  // EVP_EncodeBlock counts in int
    }
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // and the NUL it writes
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       bytes.data(), static_cast<int>(bytes.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return encoded;
}

}  // namespace vornic::velkin::digest
