// SCARD_IOCTL_TRANSMIT against the recording fake.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kTransmit = ioctl::transmit;
constexpr uint32_t kInvalidValue = 0x80100011;
constexpr uint32_t kInvalidHandle = 0x80100003;
constexpr uint32_t kInvalidParameter = 0x80100004;

Bytes le64(uint64_t value) { return Ndr().u64(value).data(); }

// A Transmit_Call built in wire order; every count follows its data unless a test sets it.
struct TransmitCall {
    uint32_t cbContext = 8;
    std::optional<uint32_t> contextCount;
    Bytes context = le64(0xA001);
    uint32_t cbHandle = 8;
    std::optional<uint32_t> handleCount;
    Bytes handle = le64(0x00010002);
    uint32_t protocol = SCARD_PROTOCOL_T1;
    Bytes sendExtra;
    std::optional<uint32_t> cbExtraBytes;
    std::optional<uint32_t> pbExtraBytes;
    Bytes command = from_hex("00 A4 04 00 00");
    std::optional<uint32_t> cbSendLength;
    uint32_t pbSendBuffer = 0x00020004;
    std::optional<uint32_t> sendCount;
    bool recvPci = false;
    uint32_t recvProtocol = SCARD_PROTOCOL_T1;
    Bytes recvExtra;
    std::optional<uint32_t> recvCbExtraBytes;
    std::optional<uint32_t> recvPbExtraBytes;
    std::optional<uint32_t> recvCount;
    uint32_t fpbRecvBufferIsNULL = 0;
    uint32_t cbRecvLength = 258;
    bool deferred = true;  // false: the fixed part alone

    Bytes message() const {
        auto size = [](const Bytes& b) { return static_cast<uint32_t>(b.size()); };
        uint32_t pbExtra = pbExtraBytes.value_or(sendExtra.empty() ? 0 : 0x00020008);
        uint32_t recvPbExtra = recvPbExtraBytes.value_or(recvExtra.empty() ? 0 : 0x0002000C);
        Ndr n;
        // cbContext 0: no context, as a Connect_Return may hand out the handle.
        n.u32(cbContext).u32(cbContext != 0 ? 0x00020000 : 0).u32(cbHandle).u32(0x00020002);
        n.u32(protocol).u32(cbExtraBytes.value_or(size(sendExtra))).u32(pbExtra);
        n.u32(cbSendLength.value_or(size(command))).u32(pbSendBuffer);
        n.u32(recvPci ? 0x00020010 : 0).u32(fpbRecvBufferIsNULL).u32(cbRecvLength);
        if (deferred) {
            if (cbContext != 0) n.u32(contextCount.value_or(size(context))).bytes(context);
            n.u32(handleCount.value_or(size(handle))).bytes(handle);
            if (pbExtra != 0) n.array(sendExtra).pad(4);
            if (pbSendBuffer != 0) n.u32(sendCount.value_or(size(command))).bytes(command).pad(4);
            if (recvPci) {
                n.u32(recvProtocol).u32(recvCbExtraBytes.value_or(size(recvExtra)));
                n.u32(recvPbExtra);
                if (recvPbExtra != 0)
                    n.u32(recvCount.value_or(size(recvExtra))).bytes(recvExtra).pad(4);
            }
        }
        return call_message(kTransmit, n.data());
    }
};

// Keeps the PCI blocks exactly as the handler built them, and can change the receive PCI's
// protocol the way a service does.
class PciRecordingPcsc : public FakePcsc {
public:
    Bytes send_block;
    Bytes recv_block;
    std::optional<DWORD> recv_protocol;

    LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                  DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                  DWORD* recv_length) override {
        auto* s = reinterpret_cast<const uint8_t*>(send_pci);
        send_block.assign(s, s + send_pci->cbPciLength);
        if (recv_pci != nullptr) {
            auto* r = reinterpret_cast<const uint8_t*>(recv_pci);
            recv_block.assign(r, r + recv_pci->cbPciLength);
            if (recv_protocol) recv_pci->dwProtocol = *recv_protocol;
        }
        return FakePcsc::transmit(card, send_pci, send, send_length, recv_pci, recv, recv_length);
    }
};

// The transmit arguments the fake records: dwProtocol, cbPciLength, cbSendLength, receive PCI
// passed, receive buffer passed, receive length.
std::vector<uint64_t> transmit_args(const FakePcsc& fake) {
    const PcscCall* call = fake.last("transmit");
    return call != nullptr ? call->args : std::vector<uint64_t>{};
}

Bytes body_after_return_code(const Bytes& reply) { return Bytes(reply.begin() + 42, reply.end()); }

// The whole reply of a failed transmit: Transmit_Return zeroed (null pioRecvPci, cbRecvLength 0,
// null pbRecvBuffer) with `code`, 16 bytes.
std::string zeroed_reply(uint32_t code) {
    return to_hex(Ndr()
                      .bytes({3, 3, 0x72, 0x44, 0x43, 0x49})
                      .u32(1)
                      .u32(2)
                      .u32(0)
                      .u32(32)
                      .bytes(from_hex("01 10 08 00 CC CC CC CC"))
                      .u32(16)
                      .u32(0)
                      .u32(code)
                      .zeros(12)
                      .data());
}

TEST(Transmit, ShortCommandAnsweredWithItsStatusWord) {
    FakePcsc fake;
    Bytes reply = relay(TransmitCall{}.message());
    EXPECT_EQ(to_hex(reply),
              "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 28 00 00 00 "
              "01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 02 00 00 00 00 00 02 00 02 00 00 00 90 00 00 00");
    ASSERT_EQ(fake.count("transmit"), 1u);
    EXPECT_EQ(fake.last("transmit")->target, 0x00010002u);
    EXPECT_EQ(transmit_args(fake),
              (std::vector<uint64_t>{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST), 5, 0, 1, 258}));
    EXPECT_EQ(to_hex(fake.last("transmit")->data), "00 A4 04 00 00");

    // A handle that comes without its context is the same call.
    TransmitCall no_context;
    no_context.cbContext = 0;
    EXPECT_EQ(relay(no_context.message()), reply);
    EXPECT_EQ(fake.last("transmit")->target, 0x00010002u);
}

// The receive PCI comes back with the extra bytes the service left in it, and with the protocol
// the exchange ran on, whatever number the service left there.
TEST(Transmit, ReceivePciExtraBytesComeBackAsTheServiceLeftThem) {
    struct Case {
        const char* name;
        Bytes extra;                  // receive PCI extra bytes in the request
        std::optional<DWORD> length;  // cbPciLength the service writes back
        const char* pci_part;         // reply bytes between pbRecvBuffer and the buffer count
    };
    const Case cases[] = {
        {"no extra bytes", {}, std::nullopt, "02 00 00 00 00 00 00 00 00 00 00 00"},
        {"three extra bytes", from_hex("07 08 09"), std::nullopt,
         "02 00 00 00 03 00 00 00 08 00 02 00 03 00 00 00 17 18 19 00"},
        // A service's cbPciLength below the header or beyond the block reads nothing outside it.
        {"length below the header", from_hex("07 08 09"), 8, "02 00 00 00 00 00 00 00 00 00 00 00"},
        {"length beyond the block", from_hex("07 08 09"), 16 + 100,
         "02 00 00 00 03 00 00 00 08 00 02 00 03 00 00 00 17 18 19 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PciRecordingPcsc fake;
        fake.recv_protocol = SCARD_PROTOCOL_T0;
        fake.recv_pci_extra = from_hex("17 18 19");
        fake.recv_pci_length = c.length;
        TransmitCall call;
        call.recvPci = true;
        call.recvExtra = c.extra;
        Bytes reply = relay(call.message());
        std::string pci = c.pci_part;
        // ReturnCode, three fields, the receive PCI, the response's count and its 2 bytes, then
        // 6 bytes of padding to 8.
        std::size_t object_length = 16 + (pci.size() + 1) / 3 + 4 + 2 + 6;
        ASSERT_EQ(reply.size(), 38 + object_length);
        EXPECT_EQ(u32_at(reply, 30), object_length);  // ObjectBufferLength
        EXPECT_EQ(
            to_hex(body_after_return_code(reply)),
            "00 00 02 00 02 00 00 00 04 00 02 00 " + pci + " 02 00 00 00 90 00 00 00 00 00 00 00");
        // The block handed over: protocol and cbPciLength of 16 + extra bytes, then the bytes.
        Bytes expected_block =
            Ndr().u64(SCARD_PROTOCOL_T1).u64(16 + c.extra.size()).bytes(c.extra).data();
        EXPECT_EQ(to_hex(fake.recv_block), to_hex(expected_block));
        EXPECT_EQ(transmit_args(fake)[3], 1u);
    }
}

TEST(Transmit, SendPciExtraBytesFollowThePlatformHeaderAndAreDumped) {
    PciRecordingPcsc fake;
    TransmitCall call;
    call.protocol = 2;
    call.sendExtra = from_hex("AA BB");
    Bytes reply;
    EXPECT_EQ(printed(true, [&] { reply = relay(call.message()); }),
              "0002 0000 0000 0000 0000 0000 0000 0000 "
              "0012 0000 0000 0000 0000 0000 0000 0000 00aa 00bb \n");
    EXPECT_EQ(return_code(reply), 0u);
    // Five bytes out for each byte in, at the remote session's pace: only with --verbose.
    EXPECT_EQ(printed(false, [&] { reply = relay(call.message()); }), "");
    EXPECT_EQ(to_hex(fake.send_block), "02 00 00 00 00 00 00 00 12 00 00 00 00 00 00 00 AA BB");

    // Without extra bytes nothing is printed, also when the extra-bytes array is present.
    for (std::optional<uint32_t> referent :
         {std::optional<uint32_t>{}, std::optional<uint32_t>{0x00020008}}) {
        TransmitCall plain;
        plain.pbExtraBytes = referent;
        testing::internal::CaptureStdout();
        EXPECT_EQ(return_code(relay(plain.message())), 0u);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(to_hex(fake.send_block), "02 00 00 00 00 00 00 00 10 00 00 00 00 00 00 00");
    }
}

TEST(Transmit, ReceiveBufferOffered) {
    struct Case {
        const char* name;
        uint32_t fpbRecvBufferIsNULL;
        uint32_t cbRecvLength;
        uint64_t buffer_passed;
        uint64_t length_passed;
    };
    // pcsc-lite refuses a receive buffer over 65548 bytes: it is offered no more.
    for (const Case& c :
         {Case{"asked length", 0, 258, 1, 258}, Case{"capped", 0, 100000, 1, 65548},
          Case{"exactly 66560", 0, 66560, 1, 65548}, Case{"exactly 65548", 0, 65548, 1, 65548},
          Case{"null flag", 1, 258, 0, 0}, Case{"zero length", 0, 0, 0, 0}}) {
        SCOPED_TRACE(c.name);
        FakePcsc fake;
        TransmitCall call;
        call.fpbRecvBufferIsNULL = c.fpbRecvBufferIsNULL;
        call.cbRecvLength = c.cbRecvLength;
        Bytes reply = relay(call.message());
        EXPECT_EQ(return_code(reply), 0u);
        EXPECT_EQ(transmit_args(fake)[4], c.buffer_passed);
        EXPECT_EQ(transmit_args(fake)[5], c.length_passed);
        if (c.buffer_passed == 0) {
            // No receive buffer: a null pioRecvPci, cbRecvLength 0 and a null pbRecvBuffer.
            EXPECT_EQ(to_hex(body_after_return_code(reply)), "00 00 00 00 00 00 00 00 00 00 00 00");
        }
    }
}

TEST(Transmit, LyingReceiveLengthNeverReadsPastTheBuffer) {
    FakePcsc fake;
    fake.reported_length = 300;
    Bytes reply = relay(TransmitCall{}.message());
    ASSERT_EQ(return_code(reply), 0u);
    // Clamped to the 258-byte buffer: the response and the untouched rest of the buffer.
    EXPECT_EQ(u32_at(reply, 46), 258u);
    EXPECT_EQ(u32_at(reply, 54), 258u);
    EXPECT_EQ(reply.size(), 38u + 16 + 4 + 258 + 2);  // padded to 8
    EXPECT_EQ(reply[58], 0x90);
    EXPECT_EQ(reply[60], 0x00);

    // With no buffer the count is a number only, bounded by the largest response.
    fake.reported_length = 0xFFFFFFFF;
    TransmitCall no_buffer;
    no_buffer.fpbRecvBufferIsNULL = 1;
    reply = relay(no_buffer.message());
    EXPECT_EQ(to_hex(body_after_return_code(reply)), "00 00 00 00 00 04 01 00 00 00 00 00");
}

TEST(Transmit, SendBufferReachesPcscAsSent) {
    FakePcsc fake;
    // The largest command fills the send buffer.
    TransmitCall largest;
    largest.command = Bytes(66560, 0x5A);
    EXPECT_EQ(return_code(relay(largest.message())), 0u);
    EXPECT_EQ(transmit_args(fake)[2], 66560u);
    EXPECT_EQ(fake.last("transmit")->data, largest.command);
    // No send buffer: a null buffer with the length as sent; PC/SC judges it.
    fake.results["transmit"] = static_cast<LONG>(0x80100004);
    TransmitCall null_buffer;
    null_buffer.pbSendBuffer = 0;
    EXPECT_EQ(return_code(relay(null_buffer.message())), 0x80100004u);
    EXPECT_EQ(transmit_args(fake)[2], 5u);
    EXPECT_TRUE(fake.last("transmit")->data.empty());
}

// Every failure is the zeroed Transmit_Return with its code: the calls the agent refuses never
// reach PC/SC; PC/SC's own failures keep nothing of the call but the code.
TEST(Transmit, FailuresAnswerTheZeroedReturn) {
    struct Case {
        const char* name;
        std::function<void(TransmitCall&)> change;
        uint32_t code;
        bool reaches_pcsc = false;  // PC/SC's transmit answers `code`
    };
    const Case cases[] = {
        // [range] bounds of the call: refused as a Windows server's NDR decoding refuses them.
        {"send length above 66560, nothing deferred",
         [](TransmitCall& c) {
             c.cbSendLength = 66561;
             c.deferred = false;
         },
         kInvalidParameter},
        {"send extra bytes above 1024", [](TransmitCall& c) { c.sendExtra = Bytes(1025, 1); },
         kInvalidParameter},
        {"17-byte handle",
         [](TransmitCall& c) {
             c.cbHandle = 17;
             c.handle = Bytes(17, 7);
         },
         kInvalidParameter},
        {"send extra bytes without referent",
         [](TransmitCall& c) {
             c.cbExtraBytes = 3;
             c.pbExtraBytes = 0;
         },
         kInvalidValue},
        {"send count differs",
         [](TransmitCall& c) {
             c.cbSendLength = 5;
             c.sendCount = 4;
         },
         kInvalidValue},
        {"receive extra bytes above 1024",
         [](TransmitCall& c) {
             c.recvPci = true;
             c.recvExtra = Bytes(1025, 1);
         },
         kInvalidParameter},
        {"receive extra bytes without referent",
         [](TransmitCall& c) {
             c.recvPci = true;
             c.recvCbExtraBytes = 3;
             c.recvPbExtraBytes = 0;
         },
         kInvalidValue},
        {"receive extra count differs",
         [](TransmitCall& c) {
             c.recvPci = true;
             c.recvExtra = Bytes(3, 1);
             c.recvCount = 2;
         },
         kInvalidValue},
        {"context count differs", [](TransmitCall& c) { c.contextCount = 4; }, kInvalidValue},
        {"handle count differs", [](TransmitCall& c) { c.handleCount = 4; }, kInvalidValue},
        {"zero handle", [](TransmitCall& c) { c.handle = le64(0); }, kInvalidHandle},
        {"handle of 16 bytes",
         [](TransmitCall& c) {
             c.cbHandle = 16;
             c.handle = Bytes(16, 7);
         },
         kInvalidHandle},
        // Sizes that the message does not hold.
        {"send buffer beyond the message",
         [](TransmitCall& c) {
             c.cbSendLength = 66560;
             c.sendCount = 66560;
         },
         kInvalidParameter},
        {"send extra bytes beyond the message",
         [](TransmitCall& c) {
             c.cbExtraBytes = 1024;
             c.pbExtraBytes = 0x00020008;
         },
         kInvalidParameter},
        {"receive extra bytes beyond the message",
         [](TransmitCall& c) {
             c.recvPci = true;
             c.recvCbExtraBytes = 1024;
             c.recvPbExtraBytes = 0x0002000C;
             c.recvCount = 1024;
         },
         kInvalidParameter},
        {"card removed", [](TransmitCall&) {}, 0x80100069, true},
        {"card removed, receive PCI asked",
         [](TransmitCall& c) {
             c.recvPci = true;
             c.recvExtra = from_hex("01 02 03");
         },
         0x80100069, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePcsc fake;
        if (c.reaches_pcsc) fake.results["transmit"] = static_cast<LONG>(c.code);
        TransmitCall call;
        c.change(call);
        testing::internal::CaptureStdout();
        Bytes reply = relay(call.message());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(to_hex(reply), zeroed_reply(c.code));
        EXPECT_EQ(fake.count("transmit"), c.reaches_pcsc ? 1u : 0u);
        EXPECT_EQ(fake.calls.size(), fake.count("transmit"));
    }
}

TEST(Transmit, ExtraBytesAtTheLimitAreAccepted) {
    PciRecordingPcsc fake;
    fake.recv_pci_extra = Bytes(1024, 0xCC);
    TransmitCall call;
    call.sendExtra = Bytes(1024, 0xEE);
    call.recvPci = true;
    call.recvExtra = Bytes(1024, 0xDD);
    Bytes reply;
    EXPECT_EQ(printed(true, [&] { reply = relay(call.message()); }).size(), (16u + 1024) * 5 + 1);
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(fake.send_block.size(), 16u + 1024);
    EXPECT_EQ(fake.recv_block.size(), 16u + 1024);
    EXPECT_EQ(u32_at(reply, 58), 1024u);  // receive PCI cbExtraBytes as the service left it
    EXPECT_EQ(reply[70], 0xCC);
}

// Every prefix of a valid call is answered SCARD_E_INVALID_PARAMETER without reaching PC/SC.
TEST(Transmit, TruncatedCallsNeverReachPcsc) {
    TransmitCall full;
    full.sendExtra = from_hex("AA BB");
    full.recvPci = true;
    full.recvExtra = from_hex("01 02 03");
    for (const Bytes& message : {TransmitCall{}.message(), full.message()}) {
        testing::internal::CaptureStdout();  // the send PCI dump of the longer prefixes
        EXPECT_EQ(prefixes_not_refused(message), std::vector<std::size_t>{}) << to_hex(message);
        testing::internal::GetCapturedStdout();
    }
}

}  // namespace
}  // namespace kx_agent::test
