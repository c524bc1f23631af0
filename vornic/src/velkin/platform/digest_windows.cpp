// SHA-1 with BCrypt (CNG) and Base64 with CryptBinaryToStringA, both part of Windows.
#include <windows.h>
// After windows.h, which defines the types these two use.
#include <bcrypt.h>
#include <wincrypt.h>

#include "velkin/platform/digest.h"

namespace vornic::velkin::digest {

std::optional<Sha1> sha1(std::span<const uint8_t> bytes) {
    if (bytes.size() > MAXDWORD) {
        return std::nullopt;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0))) {
        return std::nullopt;
    }
    Sha1 digest{};
    // BCryptHash (Windows 10) is missing from older systems and from Wine 8: one hash object
    // with its own state, fed once.
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    done = done && BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()),
                                                   static_cast<ULONG>(bytes.size()), 0));
    done = done && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), digest.size(), 0));
    if (hash != nullptr) {
        ::BCryptDestroyHash(hash);
    }
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return done ? std::optional(digest) : std::nullopt;
}

std::optional<std::string> base64(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return std::string();  // CryptBinaryToStringA refuses an empty input
    }
    if (bytes.size() > MAXDWORD / 2) {
        return std::nullopt;
    }
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;  // first the size with the terminating NUL, then the length without it
    if (!::CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), kFlags, nullptr,
                                &size) ||
        size == 0) {
        return std::nullopt;
    }
    std::string encoded(size, '\0');
    if (!::CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), kFlags,
                                encoded.data(), &size)) {
        return std::nullopt;
    }
    encoded.resize(size);
    return encoded;
}

}  // namespace vornic::velkin::digest
