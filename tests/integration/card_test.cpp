// Connecting to the virtual card through the relay, against the real pcscd: what a client sees
// when it connects, asks for the card's status and state, brackets a transaction, reconnects and
// disconnects.
#include <gtest/gtest.h>
#include <PCSC/winscard.h>

#include <cstring>
#include <string>

#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kEstablish = ioctl::establishContext;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kConnect = ioctl::connectA;
constexpr uint32_t kReconnect = ioctl::reconnect;
constexpr uint32_t kDisconnect = ioctl::disconnect;
constexpr uint32_t kBegin = ioctl::beginTransaction;
constexpr uint32_t kEnd = ioctl::endTransaction;
constexpr uint32_t kState = ioctl::state;
constexpr uint32_t kStatus = ioctl::statusA;
constexpr uint32_t kTransmit = ioctl::transmit;
constexpr uint32_t kTransmitCount = ioctl::getTransmitCount;

class CardThroughRelay : public testing::Test {
protected:
    void SetUp() override {
        Bytes reply = relay(call_message(kEstablish, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
        ASSERT_EQ(reply.size(), 62u);
        ASSERT_EQ(return_code(reply), 0u);
        context_.assign(reply.end() - 8, reply.end());
    }
    void TearDown() override {
        if (!context_.empty())
            relay(call_message(kRelease, Ndr().u32(8).u32(0x00020000).array(context_).data()));
    }

    Bytes connect(const std::string& reader) {
        std::string name = reader + '\0';
        auto length = static_cast<uint32_t>(name.size());
        Ndr body;
        body.u32(0x00020000).u32(8).u32(0x00020004);
        body.u32(SCARD_SHARE_SHARED).u32(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        body.u32(length).u32(0).u32(length).text(name).pad(4).array(context_);
        return relay(call_message(kConnect, body.data()));
    }
    // A call on the card: REDIR_SCARDHANDLE, the call's words, then context and handle bytes.
    Bytes on_card(uint32_t code, const Bytes& handle, std::initializer_list<uint32_t> words) {
        Ndr body;
        body.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
        for (uint32_t word : words) body.u32(word);
        body.array(context_).array(handle);
        return relay(call_message(code, body.data()));
    }
    Bytes status(const Bytes& handle, bool length_only) {
        // fmszReaderNamesIsNULL, cchReaderLen, cbAtrLen.
        return on_card(kStatus, handle, {length_only ? 1u : 0u, 0x100, 36});
    }

    VirtualCard card_;
    Bytes context_;
};

TEST_F(CardThroughRelay, ClientConnectsReadsStatusAndDisconnects) {
    ASSERT_TRUE(card_.insert());
    Bytes reply = connect(kFirstReader);
    ASSERT_EQ(reply.size(), 78u);
    ASSERT_EQ(return_code(reply), 0u);
    uint32_t protocol = u32_at(reply, 58);
    EXPECT_TRUE(protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1) << protocol;
    Bytes handle(reply.begin() + 66, reply.begin() + 74);

    // The relay's status says what PC/SC itself says about the handle.
    SCARDHANDLE card = 0;
    std::memcpy(&card, handle.data(), sizeof card);
    char names[256];
    DWORD names_length = sizeof names;
    DWORD state = 0;
    DWORD direct_protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    ASSERT_EQ(SCardStatus(card, names, &names_length, &state, &direct_protocol, atr, &atr_length),
              SCARD_S_SUCCESS);
    ASSERT_LE(atr_length, 32u);

    reply = status(handle, false);
    ASSERT_EQ(return_code(reply), 0u);
    uint32_t n = u32_at(reply, 42);
    // A multi-string: the name pcsc-lite gives, ended by two NULs.
    std::string multi = std::string(names) + std::string(2, '\0');
    ASSERT_EQ(n, multi.size());
    ASSERT_EQ(reply.size(), 38 + 60 + n + (8 - (60 + n) % 8) % 8);
    EXPECT_EQ(std::string(reply.begin() + 98, reply.begin() + 98 + n), multi);
    EXPECT_EQ(std::string(reply.begin() + 98, reply.begin() + 98 + std::strlen(kFirstReader)),
              kFirstReader);
    // The state as [MS-RDPESC] numbers it: the most advanced of pcsc-lite's bits, a connected
    // card at least powered, and never pcsc-lite's event counter; with its protocol in use,
    // SCARD_SPECIFIC as Windows reports it (pcsc-lite says negotiable).
    uint32_t advanced = 0;
    for (uint32_t n = 1; n <= 6; ++n)
        if ((state & (1u << n)) != 0) advanced = n;
    EXPECT_GE(advanced, 4u);
    ASSERT_NE(direct_protocol, 0u);
    EXPECT_EQ(u32_at(reply, 50), 6u);
    EXPECT_EQ(u32_at(reply, 54), static_cast<uint32_t>(direct_protocol));
    EXPECT_EQ(u32_at(reply, 90), static_cast<uint32_t>(atr_length));
    EXPECT_EQ(Bytes(reply.begin() + 58, reply.begin() + 58 + atr_length),
              Bytes(atr, atr + atr_length));
    EXPECT_EQ(reply[58], 0x3B);  // direct convention

    // The length asked (fmszReaderNamesIsNULL): the same count, and the names with it, which
    // servers that always ask this way hand their programs.
    reply = status(handle, true);
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), n);
    EXPECT_EQ(std::string(reply.begin() + 98, reply.begin() + 98 + n), multi);

    // State: the same state, protocol and ATR.
    reply = on_card(kState, handle, {0, 36});
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 6u);
    EXPECT_EQ(u32_at(reply, 46), static_cast<uint32_t>(direct_protocol));
    ASSERT_EQ(u32_at(reply, 50), static_cast<uint32_t>(atr_length));
    EXPECT_EQ(Bytes(reply.begin() + 62, reply.begin() + 62 + atr_length),
              Bytes(atr, atr + atr_length));

    reply = on_card(kBegin, handle, {SCARD_LEAVE_CARD});
    EXPECT_EQ(reply.size(), 46u);
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(return_code(on_card(kEnd, handle, {SCARD_LEAVE_CARD})), 0u);

    reply = on_card(kReconnect, handle,
                    {SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD});
    ASSERT_EQ(reply.size(), 46u);
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), protocol);

    EXPECT_EQ(return_code(on_card(kDisconnect, handle, {SCARD_LEAVE_CARD})), 0u);
    // PC/SC no longer knows the handle; its code comes back in the zeroed Status_Return.
    reply = status(handle, false);
    EXPECT_EQ(reply.size(), 38u + 56u);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(SCARD_E_INVALID_HANDLE));
}

// GetTransmitCount is the reader's count since its card was inserted: shared by the handles on
// the card, started again by the next card, which pcsc-lite's event counter tells apart.
TEST_F(CardThroughRelay, TransmitCountIsTheReadersSinceItsCardWasInserted) {
    ASSERT_TRUE(holds_no_foreign_card(card_));
    ASSERT_TRUE(card_.insert());
    auto handle_of = [](const Bytes& reply) { return Bytes(reply.begin() + 66, reply.end() - 4); };
    auto count = [&](const Bytes& handle) {
        Bytes reply = on_card(kTransmitCount, handle, {});
        EXPECT_EQ(return_code(reply), 0u);
        return u32_at(reply, 42);
    };
    auto select = [&](const Bytes& handle, uint32_t protocol) {
        Ndr n;
        n.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
        n.u32(protocol).u32(0).u32(0).u32(5).u32(0x00020008).u32(0).u32(0).u32(258);
        n.array(context_).array(handle).array(from_hex("00 A4 04 00 00")).pad(4);
        return return_code(relay(call_message(kTransmit, n.data())));
    };
    Bytes reply = connect(kFirstReader);
    ASSERT_EQ(return_code(reply), 0u);
    uint32_t protocol = u32_at(reply, 58);
    Bytes first = handle_of(reply);
    Bytes second = handle_of(connect(kFirstReader));
    EXPECT_EQ(count(first), 0u);
    EXPECT_EQ(select(first, protocol), 0u);
    EXPECT_EQ(select(second, protocol), 0u);
    EXPECT_EQ(count(first), 2u);
    EXPECT_EQ(count(second), 2u);

    // Taken out: the handle's status is the removed card's code in the zeroed Status_Return.
    card_.remove();
    reply = status(first, false);
    EXPECT_EQ(return_code(reply), static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(Bytes(reply.begin() + 42, reply.end()), Bytes(52, 0));

    // The next card starts the count again, for a handle reconnected to it too.
    ASSERT_TRUE(card_.insert());
    Bytes third = handle_of(connect(kFirstReader));
    EXPECT_EQ(count(third), 0u);
    EXPECT_EQ(select(third, protocol), 0u);
    EXPECT_EQ(count(third), 1u);
    EXPECT_EQ(return_code(on_card(kReconnect, first, {SCARD_SHARE_SHARED, 3, SCARD_LEAVE_CARD})),
              0u);
    EXPECT_EQ(count(first), 1u);
    for (const Bytes& handle : {first, second, third})
        on_card(kDisconnect, handle, {SCARD_LEAVE_CARD});
    EXPECT_EQ(return_code(on_card(kTransmitCount, first, {})), 0x80100003u);
}

TEST_F(CardThroughRelay, ConnectToAnEmptyReaderFails) {
    // Holding the card fixture keeps other tests from inserting a card meanwhile.
    ASSERT_TRUE(wait_for_card(kSecondReader, false, 5000));
    Bytes reply = connect(kSecondReader);
    ASSERT_EQ(reply.size(), 62u);
    EXPECT_EQ(return_code(reply), 0x8010000Cu);  // SCARD_E_NO_SMARTCARD
    EXPECT_EQ(Bytes(reply.begin() + 42, reply.end()), Bytes(20, 0));
}

}  // namespace
}  // namespace kx_agent::test
