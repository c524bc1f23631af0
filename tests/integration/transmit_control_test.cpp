// Transmit, control and get-attribute calls against the real pcscd and the virtual card. The
// card handle comes from pcsc-lite directly and travels in the calls as 8 little-endian bytes,
// as a client sends back the handle of a connect reply.
#include <gtest/gtest.h>
#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

const Bytes kSelect = from_hex("00 A4 04 00 00");

class CardCalls : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pcsc_stack_available());
        ASSERT_TRUE(card_.insert());
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
                  SCARD_S_SUCCESS);
        ASSERT_EQ(SCardConnect(context_, card_.reader(), SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle_, &protocol_),
                  SCARD_S_SUCCESS);
    }
    void TearDown() override {
        if (handle_ != 0) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
        if (context_ != 0) SCardReleaseContext(context_);
    }

    // REDIR_SCARDHANDLE fixed fields, then the caller's fields, then the deferred arrays.
    Ndr& fixed(Ndr& n) const {
        return n.u32(8).u32(0x00020000).u32(8).u32(0x00020002);
    }
    Ndr& deferred(Ndr& n) const {
        return n.context(static_cast<uint64_t>(context_)).context(static_cast<uint64_t>(handle_));
    }

    Bytes transmitCall(const Bytes& command, bool recvPci) const {
        Ndr n;
        fixed(n).u32(static_cast<uint32_t>(protocol_)).u32(0).u32(0);
        n.u32(static_cast<uint32_t>(command.size())).u32(0x00020004);
        n.u32(recvPci ? 0x00020008 : 0).u32(0).u32(258);
        deferred(n).array(command).pad(4);
        if (recvPci) n.u32(static_cast<uint32_t>(protocol_)).u32(0).u32(0);
        return call_message(0x000900D0, n.data());
    }
    Bytes getAttribCall(uint32_t attribute, uint32_t length) const {
        Ndr n;
        fixed(n).u32(attribute).u32(0).u32(length);
        return call_message(0x000900D8, deferred(n).data());
    }
    Bytes controlCall(uint32_t code) const {
        Ndr n;
        fixed(n).u32(code).u32(0).u32(0).u32(0).u32(64);
        return call_message(0x000900D4, deferred(n).data());
    }

    // What a direct SCardTransmit answers: its result, and the response on success.
    LONG directTransmit(const Bytes& command, Bytes& response,
                        SCARD_IO_REQUEST* recvPci = nullptr) const {
        SCARD_IO_REQUEST pci{protocol_, sizeof(SCARD_IO_REQUEST)};
        BYTE buffer[258];
        DWORD length = sizeof buffer;
        LONG result = SCardTransmit(handle_, &pci, command.data(), command.size(), recvPci,
                                    buffer, &length);
        response.assign(buffer, buffer + (result == SCARD_S_SUCCESS ? length : 0));
        return result;
    }

    VirtualCard card_;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE handle_ = 0;
    DWORD protocol_ = 0;
};

// The response of a transmit reply: after ReturnCode, pioRecvPci, cbRecvLength and pbRecvBuffer
// come the receive PCI part (12 bytes here), then the count and the bytes.
Bytes response_of(const Bytes& reply, bool recvPci) {
    std::size_t at = 54 + (recvPci ? 12 : 0);
    uint32_t n = u32_at(reply, at);
    return Bytes(reply.begin() + at + 4, reply.begin() + at + 4 + n);
}

TEST_F(CardCalls, SelectReachesTheCardAndItsStatusWordComesBack) {
    Bytes direct;
    ASSERT_EQ(directTransmit(kSelect, direct), SCARD_S_SUCCESS);
    EXPECT_EQ(to_hex(direct), "6A 82");  // the virtual card knows no default application
    SCARD_IO_REQUEST directRecvPci{protocol_, sizeof(SCARD_IO_REQUEST)};
    Bytes ignored;
    ASSERT_EQ(directTransmit(kSelect, ignored, &directRecvPci), SCARD_S_SUCCESS);

    for (bool recvPci : {false, true}) {
        SCOPED_TRACE(recvPci);
        Bytes reply = relay(transmitCall(kSelect, recvPci));
        ASSERT_EQ(return_code(reply), 0u);
        EXPECT_EQ(u32_at(reply, 46), direct.size());
        EXPECT_EQ(response_of(reply, recvPci), direct);
        EXPECT_EQ(reply.size(), 38u + 28 + (recvPci ? 12 : 0));
        EXPECT_EQ(u32_at(reply, 42), recvPci ? 0x00020000u : 0u);
        if (recvPci) {
            // The receive PCI's protocol as pcsc-lite leaves it, and no extra bytes.
            EXPECT_EQ(u32_at(reply, 54), directRecvPci.dwProtocol);
            EXPECT_EQ(u32_at(reply, 58), 0u);
        }
    }
}

TEST_F(CardCalls, RemovedCardIsReportedWithPcscCode) {
    ASSERT_TRUE(holds_no_foreign_card(card_));
    card_.remove();
    Bytes reply = relay(transmitCall(kSelect, false));
    Bytes ignored;
    LONG direct = directTransmit(kSelect, ignored);
    EXPECT_NE(direct, SCARD_S_SUCCESS);
    ASSERT_EQ(reply.size(), 46u);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(direct));
}

TEST_F(CardCalls, ReaderRefusalsComeBackUnchanged) {
    BYTE buffer[64];
    DWORD length = sizeof buffer;
    LONG atr = SCardGetAttrib(handle_, SCARD_ATTR_ATR_STRING, buffer, &length);
    length = 2;
    LONG name = SCardGetAttrib(handle_, SCARD_ATTR_DEVICE_FRIENDLY_NAME, buffer, &length);
    DWORD returned = 0;
    LONG control = SCardControl(handle_, 0x00090303, nullptr, 0, buffer, sizeof buffer, &returned);
    // pcsc-lite's SCARD_E_UNSUPPORTED_FEATURE and SCARD_E_INSUFFICIENT_BUFFER.
    EXPECT_EQ(atr, 0x8010001F);
    EXPECT_EQ(name, 0x80100008);
    EXPECT_EQ(control, 0x8010001F);

    struct Case {
        const char* name;
        Bytes message;
        LONG direct;
    };
    for (const Case& c : {Case{"ATR string", getAttribCall(SCARD_ATTR_ATR_STRING, 64), atr},
                          Case{"friendly name in 2 bytes",
                               getAttribCall(SCARD_ATTR_DEVICE_FRIENDLY_NAME, 2), name},
                          Case{"control code 0x00090303", controlCall(0x00090303), control}}) {
        SCOPED_TRACE(c.name);
        Bytes reply = relay(c.message);
        ASSERT_EQ(reply.size(), 46u);
        // pcsc-lite's 0x8010001F is Windows' SCARD_E_UNEXPECTED: the client gets 0x80100022.
        uint32_t expected = c.direct == 0x8010001F ? 0x80100022 : static_cast<uint32_t>(c.direct);
        EXPECT_EQ(return_code(reply), expected);
    }
}

// pcsc-lite refuses an attribute buffer over 264 bytes with SCARD_E_INSUFFICIENT_BUFFER before
// the reader is asked. A client's 1 KiB buffer, or its SCARD_AUTOALLOCATE, gets the reader's own
// answer (the virtual reader has no attributes: SCARD_E_UNSUPPORTED_FEATURE in Windows' number).
TEST_F(CardCalls, LargeAttributeBuffersReachTheReader) {
    BYTE buffer[1024];
    DWORD length = sizeof buffer;
    ASSERT_EQ(SCardGetAttrib(handle_, SCARD_ATTR_VENDOR_NAME, buffer, &length),
              SCARD_E_INSUFFICIENT_BUFFER);
    length = 264;
    ASSERT_EQ(SCardGetAttrib(handle_, SCARD_ATTR_VENDOR_NAME, buffer, &length), 0x8010001F);
    for (uint32_t asked : {1024u, 0xFFFFFFFFu, 264u}) {
        SCOPED_TRACE(asked);
        Bytes reply = relay(getAttribCall(SCARD_ATTR_VENDOR_NAME, asked));
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), 0x80100022u);
    }
}

}  // namespace
}  // namespace kx_agent::test
