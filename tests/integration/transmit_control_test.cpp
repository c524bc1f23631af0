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
    Ndr& fixed(Ndr& n) const { return n.u32(8).u32(0x00020000).u32(8).u32(0x00020002); }
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
        return call_message(ioctl::transmit, n.data());
    }
    Bytes getAttribCall(uint32_t attribute, uint32_t length) const {
        Ndr n;
        fixed(n).u32(attribute).u32(0).u32(length);
        return call_message(ioctl::getAttrib, deferred(n).data());
    }
    Bytes controlCall(uint32_t code) const {
        Ndr n;
        fixed(n).u32(code).u32(0).u32(0).u32(0).u32(64);
        return call_message(ioctl::control, deferred(n).data());
    }

    // What a direct SCardTransmit answers: its result, and the response on success.
    LONG directTransmit(const Bytes& command, Bytes& response,
                        SCARD_IO_REQUEST* recvPci = nullptr) const {
        SCARD_IO_REQUEST pci{protocol_, sizeof(SCARD_IO_REQUEST)};
        BYTE buffer[258];
        DWORD length = sizeof buffer;
        LONG result =
            SCardTransmit(handle_, &pci, command.data(), command.size(), recvPci, buffer, &length);
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
        // ReturnCode, three fields, the receive PCI, the response's count and bytes, padded to 8.
        EXPECT_EQ(reply.size(), 38u + (recvPci ? 40 : 24));
        EXPECT_EQ(u32_at(reply, 42), recvPci ? 0x00020000u : 0u);
        if (recvPci) {
            // The receive PCI carries the card's protocol in Windows' numbering (T=1 is 2 in
            // both), where pcsc-lite's own leaves its driver's number; no extra bytes.
            EXPECT_EQ(u32_at(reply, 54), static_cast<uint32_t>(protocol_));
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
    // The zeroed Transmit_Return: 16 bytes.
    ASSERT_EQ(reply.size(), 54u);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(direct));
    EXPECT_EQ(Bytes(reply.begin() + 42, reply.end()), Bytes(12, 0));
}

TEST_F(CardCalls, ReaderRefusalsComeBackUnchanged) {
    BYTE buffer[64];
    DWORD length = 2;
    LONG name = SCardGetAttrib(handle_, SCARD_ATTR_DEVICE_FRIENDLY_NAME, buffer, &length);
    DWORD returned = 0;
    LONG control = SCardControl(handle_, 0x00090303, nullptr, 0, buffer, sizeof buffer, &returned);
    // pcsc-lite's SCARD_E_INSUFFICIENT_BUFFER and SCARD_E_UNSUPPORTED_FEATURE.
    EXPECT_EQ(name, 0x80100008);
    EXPECT_EQ(control, 0x8010001F);

    struct Case {
        const char* name;
        Bytes message;
        LONG direct;
    };
    for (const Case& c :
         {Case{"friendly name in 2 bytes", getAttribCall(SCARD_ATTR_DEVICE_FRIENDLY_NAME, 2), name},
          Case{"control code 0x00090303", controlCall(0x00090303), control}}) {
        SCOPED_TRACE(c.name);
        Bytes reply = relay(c.message);
        // The zeroed GetAttrib_Return or Control_Return: 16 bytes.
        ASSERT_EQ(reply.size(), 54u);
        // pcsc-lite's 0x8010001F is Windows' SCARD_E_UNEXPECTED: the client gets 0x80100022.
        uint32_t expected = c.direct == 0x8010001F ? 0x80100022 : static_cast<uint32_t>(c.direct);
        EXPECT_EQ(return_code(reply), expected);
    }
}

// The attributes that Windows' resource manager answers itself: where pcsc-lite or the reader's
// driver answers one, the client gets that answer; where the driver refuses it (the virtual
// reader knows no attributes), the agent's: the reader's name, the card's ATR and protocol as
// SCardStatus gives them, a USB channel.
TEST_F(CardCalls, ResourceManagerAttributesComeBackWhereTheReaderHasNone) {
    char names[256];
    DWORD names_length = sizeof names;
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    ASSERT_EQ(SCardStatus(handle_, names, &names_length, &state, &protocol, atr, &atr_length),
              SCARD_S_SUCCESS);
    std::string reader = std::string(names) + '\0';
    Bytes wide;
    for (char c : reader) wide.insert(wide.end(), {static_cast<uint8_t>(c), 0});
    Bytes atr_bytes(atr, atr + atr_length);
    // The card's T=1 is 2 in both numberings.
    Bytes protocol_bytes = Ndr().u32(static_cast<uint32_t>(protocol)).data();

    struct Case {
        uint32_t id;
        Bytes agents;  // the agent's answer when the driver has none
    };
    const Case cases[] = {
        {0x7FFF0003, Bytes(reader.begin(), reader.end())},  // SCARD_ATTR_DEVICE_FRIENDLY_NAME_A
        {0x7FFF0005, wide},                                 // SCARD_ATTR_DEVICE_FRIENDLY_NAME_W
        {SCARD_ATTR_ATR_STRING, atr_bytes},
        {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, protocol_bytes},
        {SCARD_ATTR_CHANNEL_ID, from_hex("00 00 20 00")},  // SCARD_READER_TYPE_USB
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        BYTE buffer[264];
        DWORD length = sizeof buffer;
        LONG direct = SCardGetAttrib(handle_, c.id, buffer, &length);
        Bytes expected = direct == SCARD_S_SUCCESS ? Bytes(buffer, buffer + length) : c.agents;

        Bytes reply = relay(getAttribCall(c.id, 264));
        ASSERT_EQ(return_code(reply), 0u);
        ASSERT_EQ(u32_at(reply, 42), expected.size());
        EXPECT_EQ(Bytes(reply.begin() + 54, reply.begin() + 54 + expected.size()), expected);
        EXPECT_EQ(reply.size() % 8, 38u % 8);  // the object buffer padded to 8

        // The length alone: cbAttrLen and a null pbAttr.
        reply = relay(getAttribCall(c.id, 0));
        ASSERT_EQ(return_code(reply), 0u);
        EXPECT_EQ(u32_at(reply, 42), expected.size());
        EXPECT_EQ(u32_at(reply, 46), 0u);
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
        ASSERT_EQ(reply.size(), 54u);
        EXPECT_EQ(return_code(reply), 0x80100022u);
    }
}

}  // namespace
}  // namespace kx_agent::test
