// One relayed message through the relay (server::process) with the recording PC/SC fake.
//
// Input: byte 0 picks how the fake answers (below); the rest is the message as the WebSocket
// delivers it: 03 01 (handshake) or 03 03, IoControlCode, DeviceId, CompletionId, the NDR type
// headers and the call body. The fake answers success with plausible outputs unless byte 0 asks
// otherwise, so the reply builders are reached.
//
// Every reply is checked against the framing that every handler must keep ([MS-RDPEFS] device
// I/O completion in front of the NDR stream): prefix, head, identifiers copied, IoStatus 0, the
// two lengths consistent with the bytes written and the declared length.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "data_view.h"
#include "fake_pcsc.h"
#include "server/process.h"
#include "smartcard/pcsc/connection_scope.h"
#include "smartcard/smartcard.h"
#include "socket_peer.h"

namespace {

using kx_agent::test::FakePcsc;

uint32_t u32_at(const std::vector<uint8_t>& bytes, std::size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    return value;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "reply framing broken: %s\n", what);
    std::abort();
}

// Failure codes the fake gives every call when bits 0-2 of the scenario byte are not 0.
constexpr LONG kFailures[] = {0,
                              static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER),
                              static_cast<LONG>(SCARD_E_TIMEOUT),
                              static_cast<LONG>(SCARD_E_NO_SMARTCARD),
                              static_cast<LONG>(SCARD_W_REMOVED_CARD),
                              static_cast<LONG>(SCARD_E_INVALID_HANDLE),
                              static_cast<LONG>(SCARD_E_CANCELLED),
                              static_cast<LONG>(SCARD_F_INTERNAL_ERROR)};
constexpr const char* kFunctions[] = {
    "establish_context", "release_context", "is_valid_context", "cancel",     "list_readers",
    "get_status_change", "connect",         "reconnect",        "disconnect", "begin_transaction",
    "end_transaction",   "status",          "transmit",         "control",    "get_attrib"};
// Bits 3-4: the length the fake reports back, whatever it wrote (a service that lies).
constexpr std::optional<DWORD> kReportedLengths[] = {std::nullopt, 0, 1000, 0xFFFFFFFF};

// pcsc-lite reports the length of the buffer it allocated for SCARD_AUTOALLOCATE, and the
// caller has no other way to know it; so the fake lies about lengths only where the caller
// owns the buffer and can hold the report against its size.
class Service : public FakePcsc {
public:
    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override {
        return honest_if(names != nullptr && *names_length == SCARD_AUTOALLOCATE, [&] {
            return FakePcsc::status(card, names, names_length, state, protocol, atr, atr_length);
        });
    }
    LONG list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                      DWORD* length) override {
        return honest_if(readers != nullptr && *length == SCARD_AUTOALLOCATE,
                         [&] { return FakePcsc::list_readers(context, groups, readers, length); });
    }
    LONG get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) override {
        return honest_if(attr != nullptr && *attr_length == SCARD_AUTOALLOCATE,
                         [&] { return FakePcsc::get_attrib(card, attr_id, attr, attr_length); });
    }

private:
    template <class Call>
    LONG honest_if(bool allocating, Call call) {
        if (!allocating) return call();
        const auto lie = std::exchange(reported_length, std::nullopt);
        const LONG result = call();
        reported_length = lie;
        return result;
    }
};

// Bit 5: large outputs; bit 6: the calls go through the ContextGuard, as in the agent; bit 7:
// an odd event state and receive PCI from the fake.
void configure(Service& fake, uint8_t scenario) {
    if (LONG failure = kFailures[scenario & 7]; failure != 0)
        for (const char* function : kFunctions) fake.results[function] = failure;
    fake.reported_length = kReportedLengths[(scenario >> 3) & 3];
    if (scenario & 0x20) {
        fake.readers.clear();
        for (int i = 0; i < 40; ++i) fake.readers += "Virtual PCD 00 0" + std::to_string(i) + '\0';
        fake.readers += '\0';
        fake.status_names = fake.readers;
        fake.atr.assign(40, 0x3B);
        fake.response.assign(65538, 0x61);
        fake.control_out.assign(4096, 0x5A);
        fake.attribute.assign(1027, 0x07);
        fake.recv_pci_extra.assign(300, 0xEE);
    }
    if (scenario & 0x80) {
        fake.event_state = 0xFFFFFFFF;
        // A receive PCI that comes back shorter than its own header.
        fake.recv_pci_length = 4;
        fake.card = 0;
        fake.context = 0xFFFFFFFFFFFFFFFF;
    }
}

void check_reply(const std::vector<uint8_t>& message, const std::vector<uint8_t>& reply,
                 const kx_agent::data_view::DataView& view) {
    if (message[1] == 1) {
        // 03 02, and the granted flags (the known ones of those offered) when flags were offered.
        std::vector<uint8_t> expected{3, 2};
        if (message.size() > 2)
            expected.push_back(message[2] & kx_agent::server::kRepliesInAnyOrder);
        if (reply != expected) fail("handshake answer is not 03 02 with the granted flags");
        return;
    }
    if (reply.size() < 46) fail("call reply shorter than a Long_Return");
    static constexpr uint8_t kHead[] = {3, 3, 0x72, 0x44, 0x43, 0x49};
    if (std::memcmp(reply.data(), kHead, sizeof kHead) != 0) fail("prefix or RDPDR header");
    if (u32_at(reply, 6) != u32_at(message, 6)) fail("DeviceId not copied");
    if (u32_at(reply, 10) != u32_at(message, 10)) fail("CompletionId not copied");
    if (u32_at(reply, 14) != 0) fail("IoStatus not 0");
    static constexpr uint8_t kCommon[] = {1, 0x10, 8, 0, 0xCC, 0xCC, 0xCC, 0xCC};
    if (std::memcmp(reply.data() + 22, kCommon, sizeof kCommon) != 0) fail("Common Type Header");
    const uint32_t object_length = u32_at(reply, 30);
    if (u32_at(reply, 18) != 16 + object_length) fail("OutputBufferLength != 16 + OBL");
    if (reply.size() != 38 + static_cast<std::size_t>(object_length)) fail("OBL != body size");
    if (object_length % 4 != 0) fail("object buffer not 4-byte aligned");
    if (view.length != reply.size()) fail("declared length != reply size");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tolvane::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const uint8_t scenario = data[0];
    // process() decodes the message once, as the relay does when it reads one (for a call, what
    // it waits for on a connection that runs calls side by side too), then answers it.
    const std::vector<uint8_t> message(data + 1, data + size);

    Service fake;
    configure(fake, scenario);
    std::vector<uint8_t> reply;
    kx_agent::data_view::DataView view(reply, 0);
    bool answered;
    if (scenario & 0x40) {
        // The agent's own arrangement: handlers reach PC/SC through the guard, which records the
        // contexts of the connection and releases the orphans when the connection ends (at once
        // here: no grace for a client that might come back).
        kx_agent::smartcard::ContextGuard guard(fake, std::chrono::milliseconds(1),
                                                std::chrono::milliseconds(0), &fake.cache,
                                                &fake.transmits);
        {
            kx_agent::smartcard::ConnectionScope scope(guard, [] { return true; });
            kx_agent::smartcard::ConnectionScope::Call call(scope);
            kx_agent::smartcard::ClientLayers layers(call);
            const kx_agent::smartcard::Services services{layers.top(), fake.cache, fake.transmits,
                                                         guard};
            answered = kx_agent::server::process(message, view, services);
        }
        if (guard.known_contexts() != 0) fail("guard kept a context after its connection ended");
    } else {
        answered = kx_agent::server::process(message, view, fake.services());
    }
    if (fake.outstanding_allocations() != 0) fail("a PC/SC allocation was not freed");

    const bool recognised = message.size() >= 2 && message[0] == 3 &&
                            (message[1] == 1 || (message[1] == 3 && message.size() >= 14));
    if (answered != recognised) fail("message accepted or refused against the framing");
    if (!answered) {
        if (!reply.empty()) fail("refused message left a reply");
        return 0;
    }
    check_reply(message, reply, view);
    return 0;
}
