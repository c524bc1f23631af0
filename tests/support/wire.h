#pragma once
// Builders and readers for relayed calls in tests: hex strings, NDR call bodies and replies.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/calls/services.h"
#include "smartcard/wire/ioctls.h"

namespace kx_agent::test {

// The I/O control codes by name, as the agent lists them (smartcard/wire/ioctls.h).
namespace ioctl = smartcard::ioctl;

using Bytes = std::vector<uint8_t>;

// "03 03 72 44" (spaces and line breaks ignored) to bytes, and bytes to "03 03 72 44".
Bytes from_hex(std::string_view hex);
std::string to_hex(const Bytes& bytes);

// What `run` prints on standard output (standard error with `to_err`), with --verbose set to
// `verbose` meanwhile.
std::string printed(bool verbose, const std::function<void()>& run, bool to_err = false);

// An NDR call body, built in wire order.
class Ndr {
public:
    Ndr& u32(uint32_t value);
    Ndr& u64(uint64_t value);
    Ndr& bytes(const Bytes& value);
    Ndr& text(std::string_view value);  // the characters, no terminator
    Ndr& zeros(std::size_t count);
    Ndr& pad(std::size_t alignment);  // zero bytes up to the next multiple of `alignment`
    // A deferred conformant array: count, then the bytes (no padding).
    Ndr& array(const Bytes& value);
    // A REDIR_SCARDCONTEXT deferred part for an 8-byte context value: count 8, then the value.
    Ndr& context(uint64_t value);
    const Bytes& data() const { return data_; }

private:
    Bytes data_;
};

// A relayed call message: 03 03, code, DeviceId, CompletionId, both NDR type headers, body.
Bytes call_message(uint32_t code, const Bytes& body, uint32_t device_id = 1,
                   uint32_t completion_id = 2);

// Runs one message through the relay (server::process) with `services` and returns the reply
// bytes. The reply to a call (03 03) must pass decode_return (strict_return.h) and carry the
// call's DeviceId and CompletionId; otherwise the test fails with a message that begins "Strict
// _Return decoding refused".
Bytes relay(const Bytes& message, const smartcard::Services& services);
// The same with the services of the installed FakePcsc (fake_pcsc.h); without one, with the
// client's layers over the platform's service (the integration tests' pcscd) and a card cache
// and transmit counts that such tests share.
Bytes relay(const Bytes& message);

// Reads a little-endian 32-bit word of a reply.
uint32_t u32_at(const Bytes& bytes, std::size_t offset);
// ReturnCode of a call reply (offset 38).
inline uint32_t return_code(const Bytes& reply) { return u32_at(reply, 38); }

}  // namespace kx_agent::test
