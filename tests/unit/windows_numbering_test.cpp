// The client's (Windows) numbering over pcsc-lite's: each table both ways, on its own and as the
// recording fake, which stands where pcsc-lite does, sees it through the handlers.
#include "smartcard/pcsc/windows_numbering.h"

#include <gtest/gtest.h>

#include "fake_pcsc.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

namespace nb = smartcard::numbering;

// A powered card with a protocol in use is SCARD_SPECIFIC, as Windows reports it; pcsc-lite
// leaves it at negotiable.
TEST(Numbering, CardStateIsTheMostAdvancedStateOfTheBitField) {
    struct Case {
        uint32_t bits;      // pcsc-lite
        uint32_t protocol;  // active
        uint32_t state;     // [MS-RDPESC]
    };
    for (auto [bits, protocol, state] :
         {Case{0x0000, 0, 0}, Case{0x0001, 0, 0}, Case{0x0002, 0, 1}, Case{0x0004, 0, 2},
          Case{0x0008, 0, 3}, Case{0x0014, 0, 4}, Case{0x0034, 0, 5}, Case{0x0074, 0, 6},
          Case{0x00050034, 0, 5}, Case{0xFFFF0002, 0, 1}, Case{0x0040, 0, 6}, Case{0x0034, 2, 6},
          Case{0x00010034, 1, 6}, Case{0x0014, 4, 6}, Case{0x0004, 2, 2}, Case{0x0002, 2, 1},
          Case{0x0000, 2, 0}}) {
        EXPECT_EQ(nb::cardStateToClient(bits, protocol), state)
            << std::hex << bits << " " << protocol;
    }
}

TEST(Numbering, ProtocolsBothWays) {
    struct Case {
        uint32_t client;
        uint32_t service;
    };
    // These round-trip.
    for (auto [client, service] : {Case{0, 0}, Case{1, 1}, Case{2, 2}, Case{3, 3},
                                   Case{0x00010000, 4}, Case{0x00010001, 5}}) {
        EXPECT_EQ(nb::protocolsToService(client), service) << std::hex << client;
        EXPECT_EQ(nb::protocolsToClient(service), client) << std::hex << service;
    }
    // SCARD_PROTOCOL_DEFAULT asks for T=0 or T=1.
    EXPECT_EQ(nb::protocolsToService(0x80000000), 3u);
    EXPECT_EQ(nb::protocolsToService(0x80010000), 7u);
}

TEST(Numbering, ControlCodesBothWays) {
    struct Case {
        uint32_t windows;
        uint32_t pcscLite;
    };
    for (auto [windows, pcscLite] : {Case{0x00313520, 0x42000D48},  // 3400: GET_FEATURE_REQUEST
                                     Case{0x00310000, 0x42000000}, Case{0x00313400, 0x42000D00},
                                     Case{0x0031FFFC, 0x42003FFF}}) {
        EXPECT_EQ(nb::controlCodeToService(windows), pcscLite) << std::hex << windows;
        EXPECT_EQ(nb::controlCodeToClient(pcscLite), windows) << std::hex << pcscLite;
    }
    // pcsc-lite codes and codes of other devices or methods pass unchanged to the service; codes
    // that the Windows form cannot carry pass unchanged to the client.
    for (uint32_t code : {0x42000D48u, 0x42330006u, 0x00313521u, 0x00223520u, 0u})
        EXPECT_EQ(nb::controlCodeToService(code), code) << std::hex << code;
    for (uint32_t code : {0x42330006u, 0x42004000u, 0x41FFFFFFu, 0x00313520u})
        EXPECT_EQ(nb::controlCodeToClient(code), code) << std::hex << code;
}

TEST(Numbering, OnlyPcscLitesUnsupportedCodeIsRenumbered) {
    EXPECT_EQ(nb::resultToClient(0x8010001F), 0x80100022u);
    for (uint32_t code : {0u, 0x80100022u, 0x8010000Cu, 0x80100069u, 0x8010001Eu})
        EXPECT_EQ(nb::resultToClient(code), code);
}

constexpr uint32_t kStatus = ioctl::statusA;
constexpr uint32_t kTransmit = ioctl::transmit;
constexpr uint32_t kControl = ioctl::control;
constexpr uint32_t kEndTransaction = ioctl::endTransaction;

// REDIR_SCARDHANDLE fixed part and its deferred arrays.
Ndr& handle_fixed(Ndr& n) { return n.u32(8).u32(0x00020000).u32(8).u32(0x00020004); }
Ndr& handle_deferred(Ndr& n) { return n.context(0xA001).context(0x00010002); }

TEST(Numbering, StatusAnswersTheEnumerationAndTheClientsProtocol) {
    FakePcsc fake;
    fake.status_state = 0x00030034;
    fake.active_protocol = SCARD_PROTOCOL_RAW;
    Ndr n;
    handle_fixed(n).u32(0).u32(0).u32(32);
    handle_deferred(n);
    Bytes reply = relay(call_message(kStatus, n.data()));
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 50), 6u);           // SCARD_SPECIFIC, no event counter
    EXPECT_EQ(u32_at(reply, 54), 0x00010000u);  // SCARD_PROTOCOL_RAW
    // A direct connection to a card that no protocol is in use with.
    fake.active_protocol = 0;
    reply = relay(call_message(kStatus, n.data()));
    EXPECT_EQ(u32_at(reply, 50), 5u);  // SCARD_NEGOTIABLE
    EXPECT_EQ(u32_at(reply, 54), 0u);
}

// Sees the PCI protocols that reach pcsc-lite and leaves `left` in the receive PCI, as
// pcsc-lite does with its driver's number.
class PciProtocols : public FakePcsc {
public:
    DWORD send_protocol = 0;
    DWORD recv_protocol = 0;
    DWORD left = 0;
    LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                  DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                  DWORD* recv_length) override {
        send_protocol = send_pci->dwProtocol;
        recv_protocol = recv_pci->dwProtocol;
        recv_pci->dwProtocol = left;
        return FakePcsc::transmit(card, send_pci, send, send_length, recv_pci, recv, recv_length);
    }
};

// The PCI protocols reach pcsc-lite in its numbering; the receive PCI comes back with the
// protocol the exchange ran on, in the client's, whatever number pcsc-lite left there (its
// driver's: T=1 as 1).
TEST(Numbering, TransmitPciProtocolsBothWays) {
    struct Case {
        uint32_t client;  // the send and receive PCI's protocol in the call
        DWORD service;    // as pcsc-lite receives it
        DWORD left;       // what pcsc-lite leaves in the receive PCI
    };
    const Case cases[] = {{0x00010000, SCARD_PROTOCOL_RAW, SCARD_PROTOCOL_RAW},
                          {2, SCARD_PROTOCOL_T1, 1},
                          {1, SCARD_PROTOCOL_T0, 0}};
    for (auto [client, service, left] : cases) {
        SCOPED_TRACE(client);
        PciProtocols fake;
        fake.left = left;
        Ndr n;
        handle_fixed(n);
        n.u32(client).u32(0).u32(0);               // ioSendPci, no extra bytes
        n.u32(2).u32(0x00020008).u32(0x0002000C);  // cbSendLength, pbSendBuffer, pioRecvPci
        n.u32(0).u32(16);                          // fpbRecvBufferIsNULL, cbRecvLength
        handle_deferred(n);
        n.u32(2).bytes({0x00, 0xB0}).pad(4);
        n.u32(client).u32(0).u32(0);  // receive PCI
        Bytes reply = relay(call_message(kTransmit, n.data()));
        ASSERT_EQ(return_code(reply), 0u);
        EXPECT_EQ(fake.send_protocol, service);
        EXPECT_EQ(fake.recv_protocol, service);
        EXPECT_EQ(u32_at(reply, 54), client);  // receive PCI dwProtocol
    }
}

Bytes control_call(uint32_t code) {
    Ndr n;
    handle_fixed(n).u32(code).u32(0).u32(0).u32(0).u32(64);
    handle_deferred(n);
    return call_message(kControl, n.data());
}

TEST(Numbering, ControlCodesAndTheFeatureList) {
    FakePcsc fake;
    // Two features (VERIFY_PIN_DIRECT 0x06, MODIFY_PIN_DIRECT 0x07) and one whose code the
    // Windows form cannot carry, as a PIN-pad reader's driver lists them.
    fake.control_out = from_hex("06 04 42 00 0D 52 07 04 42 00 0D 53 12 04 42 33 00 12");
    Bytes reply = relay(control_call(0x00313520));
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(fake.last("control")->args[0], 0x42000D48u);
    EXPECT_EQ(to_hex(Bytes(reply.begin() + 54, reply.begin() + 72)),
              "06 04 00 31 35 48 07 04 00 31 35 4C 12 04 42 33 00 12");

    // Sent back, the Windows codes reach the driver as its own.
    relay(control_call(0x00313548));
    EXPECT_EQ(fake.last("control")->args[0], 0x42000D52u);

    // A client that speaks pcsc-lite's codes gets them unchanged, the feature list too.
    reply = relay(control_call(0x42000D48));
    EXPECT_EQ(fake.last("control")->args[0], 0x42000D48u);
    EXPECT_EQ(Bytes(reply.begin() + 54, reply.begin() + 72), fake.control_out);

    // A list cut inside a TLV is rewritten up to the cut, never read past it.
    fake.control_out = from_hex("06 04 42 00 0D 52 07 09 42 00");
    reply = relay(control_call(0x00313520));
    EXPECT_EQ(to_hex(Bytes(reply.begin() + 54, reply.begin() + 64)),
              "06 04 00 31 35 48 07 09 42 00");
}

TEST(Numbering, PcscLitesUnsupportedFeatureReachesTheClientAsWindowsCode) {
    FakePcsc fake;
    fake.results["end_transaction"] = static_cast<LONG>(0x8010001F);
    Ndr n;
    handle_fixed(n).u32(SCARD_LEAVE_CARD);
    handle_deferred(n);
    EXPECT_EQ(return_code(relay(call_message(kEndTransaction, n.data()))), 0x80100022u);
    // In a call whose _Return has more than its ReturnCode, too.
    fake.results["control"] = static_cast<LONG>(0x8010001F);
    EXPECT_EQ(return_code(relay(control_call(0x00313520))), 0x80100022u);
}

}  // namespace
}  // namespace kx_agent::test
