#include "wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "data_view.h"
#include "diagnostics.h"
#include "fake_pcsc.h"
#include "server/process.h"
#include "smartcard/pcsc/pcsc_stack.h"
#include "strict_return.h"

namespace kx_agent::test {

std::string printed(bool verbose, const std::function<void()>& run, bool to_err) {
    const bool was = diagnostics::verbose();
    diagnostics::set_verbose(verbose);
    to_err ? testing::internal::CaptureStderr() : testing::internal::CaptureStdout();
    run();
    diagnostics::set_verbose(was);
    return to_err ? testing::internal::GetCapturedStderr() : testing::internal::GetCapturedStdout();
}

Ndr& Ndr::u32(uint32_t value) {
    for (int i = 0; i < 4; ++i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

Ndr& Ndr::u64(uint64_t value) {
    for (int i = 0; i < 8; ++i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

Ndr& Ndr::bytes(const Bytes& value) {
    data_.insert(data_.end(), value.begin(), value.end());
    return *this;
}

Ndr& Ndr::text(std::string_view value) {
    data_.insert(data_.end(), value.begin(), value.end());
    return *this;
}

Ndr& Ndr::zeros(std::size_t count) {
    data_.insert(data_.end(), count, 0);
    return *this;
}

Ndr& Ndr::pad(std::size_t alignment) {
    while (data_.size() % alignment != 0) data_.push_back(0);
    return *this;
}

Ndr& Ndr::array(const Bytes& value) {
    u32(static_cast<uint32_t>(value.size()));
    return bytes(value);
}

Ndr& Ndr::context(uint64_t value) { return u32(8).u64(value); }

Bytes call_message(uint32_t code, const Bytes& body, uint32_t device_id, uint32_t completion_id) {
    Ndr m;
    m.bytes({3, 3}).u32(code).u32(device_id).u32(completion_id);
    m.bytes(from_hex("01 10 08 00 CC CC CC CC"));
    m.u32(static_cast<uint32_t>(body.size())).u32(0);
    m.bytes(body);
    return m.data();
}

namespace {

constexpr std::string_view kRefused = "Strict _Return decoding refused";

// A test that captures standard output around its calls also captures the refusals gtest prints
// there; so each test's refusals are counted and the first is named again once it has ended.
class RefusalSummary : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult& result) override {
        std::string_view message = result.message();
        std::size_t at = message.find(kRefused);
        if (at == std::string_view::npos) return;
        message.remove_prefix(at + kRefused.size() + 1);
        std::lock_guard lock(mutex_);
        if (count_++ == 0) first_ = message.substr(0, message.find('\n'));
    }
    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard lock(mutex_);
        if (count_ > 0)
            std::printf("%s %d replies in this test; the first: %s\n", kRefused.data(), count_,
                        first_.c_str());
        count_ = 0;
    }
    std::mutex mutex_;
    int count_ = 0;
    std::string first_;
};
const bool kSummaryListens = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new RefusalSummary);
    return true;
}();

// Every reply to a call is decoded as a Windows server decodes it; a reply such a server would
// refuse fails the test that sent the call, which goes on with its own checks.
void expect_strict_reply(const Bytes& message, const Bytes& reply) {
    uint32_t code = u32_at(message, 2);
    char hex_code[11];
    std::snprintf(hex_code, sizeof hex_code, "0x%08X", code);
    std::string call = std::string(ioctl_name(code)) + " (" + hex_code + ")";
    auto decoded = decode_return(code, reply);
    // The head and the start of the object buffer are enough to see what went wrong.
    std::string shown = to_hex(
        Bytes(reply.begin(), reply.begin() + std::min<std::ptrdiff_t>(std::ssize(reply), 96)));
    if (!decoded) {
        ADD_FAILURE() << kRefused << " the reply to " << call << ": " << decoded.error()
                      << "\n  reply (" << reply.size() << " bytes): " << shown;
        return;
    }
    // [MS-RDPEFS] 2.2.1.5.5: the completion carries the request's DeviceId and CompletionId.
    if (!std::equal(message.begin() + 6, message.begin() + 14, reply.begin() + 6))
        ADD_FAILURE() << kRefused << " the reply to " << call
                      << ": DeviceId or CompletionId is not the call's\n  reply: " << shown;
}

}  // namespace

Bytes relay(const Bytes& message) {
    if (FakePcsc* fake = FakePcsc::installed()) return relay(message, fake->services());
    // The integration tests' stack: the client's layers over the platform's service. What the
    // tests leave is released when they end.
    static smartcard::CardCache cache;
    static smartcard::TransmitCounts transmits;
    static ClientStack platform(smartcard::system_pcsc(), cache, transmits,
                                std::chrono::milliseconds(0));
    return relay(message, platform.services());
}

Bytes relay(const Bytes& message, const smartcard::Services& services) {
    Bytes reply;
    data_view::DataView view(reply, 0);
    server::process(message, view, services);
    // Handshakes and messages that end the relay have no _Return.
    if (message.size() >= 14 && message[0] == 3 && message[1] == 3)
        expect_strict_reply(message, reply);
    return reply;
}

uint32_t u32_at(const Bytes& bytes, std::size_t offset) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("reply too short");
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace kx_agent::test
