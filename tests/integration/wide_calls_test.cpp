// A Windows session's wide-character calls through the relay, against the real pcscd, the
// virtual readers and the virtual card: what the client decodes matches what the same calls
// made directly on pcsc-lite say.
#include <gtest/gtest.h>
#include <PCSC/winscard.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "utilities.h"
#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kEstablish = ioctl::establishContext;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kListReaderGroupsW = ioctl::listReaderGroupsW;
constexpr uint32_t kListReadersW = ioctl::listReadersW;
constexpr uint32_t kGetStatusChangeW = ioctl::getStatusChangeW;
constexpr uint32_t kConnectW = ioctl::connectW;
constexpr uint32_t kDisconnect = ioctl::disconnect;
constexpr uint32_t kStatusW = ioctl::statusW;
constexpr uint32_t kAutoAllocate = 0xFFFFFFFF;
constexpr const char* kNotification = "\\\\?PnP?\\Notification";

Bytes utf16(std::string_view utf8) { return utilities::utf8_to_utf16le(utf8).value(); }

std::string from_utf16(const Bytes& bytes) { return utilities::utf16le_to_utf8(bytes).value(); }

// A conformant varying string in UTF-16LE, NUL included, padded to 4.
Ndr& wide_string(Ndr& n, const std::string& text) {
    Bytes units = utf16(text + '\0');
    auto count = static_cast<uint32_t>(units.size() / 2);
    return n.u32(count).u32(0).u32(count).bytes(units).pad(4);
}

class WideCallsOnPcscd : public testing::Test {
protected:
    void SetUp() override {
        Bytes reply = relay(call_message(kEstablish, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
        ASSERT_EQ(return_code(reply), 0u);
        reference_.assign(reply.end() - 8, reply.end());
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &direct_),
                  SCARD_S_SUCCESS);
    }
    void TearDown() override {
        relay(call_message(kRelease, Ndr().u32(8).u32(0x00020000).array(reference_).data()));
        SCardReleaseContext(direct_);
    }

    // The multi-string of a ListReaders_Return, in UTF-8.
    static std::string multi_string(const Bytes& reply) {
        uint32_t n = u32_at(reply, 42);
        EXPECT_EQ(u32_at(reply, 50), n);
        return from_utf16(Bytes(reply.begin() + 54, reply.begin() + 54 + n));
    }

    std::string direct_readers() const {
        char buffer[1024];
        DWORD length = sizeof buffer;
        EXPECT_EQ(SCardListReaders(direct_, nullptr, buffer, &length), SCARD_S_SUCCESS);
        return std::string(buffer, length);
    }

    Bytes reference_;
    SCARDCONTEXT direct_ = 0;
};

TEST_F(WideCallsOnPcscd, ListReadersWAutoAllocatedForAllReaders) {
    Bytes groups = utf16(std::string("SCard$AllReaders\0\0", 18));
    Ndr n;
    n.u32(8).u32(0x00020000).u32(static_cast<uint32_t>(groups.size())).u32(0x00020004);
    n.u32(0).u32(kAutoAllocate).array(reference_).array(groups);
    Bytes reply = relay(call_message(kListReadersW, n.data()));
    ASSERT_EQ(return_code(reply), 0u);
    std::string readers = multi_string(reply);
    EXPECT_EQ(readers, direct_readers());
    EXPECT_NE(readers.find(kFirstReader), std::string::npos);
    EXPECT_NE(readers.find(kSecondReader), std::string::npos);
}

TEST_F(WideCallsOnPcscd, ListReaderGroupsWMatchesPcscLite) {
    char buffer[256];
    DWORD length = sizeof buffer;
    ASSERT_EQ(SCardListReaderGroups(direct_, buffer, &length), SCARD_S_SUCCESS);
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0).u32(kAutoAllocate).array(reference_);
    Bytes reply = relay(call_message(kListReaderGroupsW, n.data()));
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(multi_string(reply), std::string(buffer, length));
}

// A Windows session's first wait: the notification entry (knowing no readers yet) and both
// readers. It ends at once with the reader count, and the readers' states are pcsc-lite's.
TEST_F(WideCallsOnPcscd, GetStatusChangeWWithTheNotificationEntry) {
    VirtualCard card;
    ASSERT_TRUE(card.insert());
    const std::vector<std::string> names = {kFirstReader, kSecondReader, kNotification};
    auto cReaders = static_cast<uint32_t>(names.size());
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0xFFFFFFFF).u32(cReaders).u32(0x00020004);
    n.array(reference_).u32(cReaders);
    for (std::size_t i = 0; i < names.size(); ++i)
        n.u32(0x00020008).u32(SCARD_STATE_UNAWARE).u32(0).u32(0).zeros(36);
    for (const std::string& name : names) wide_string(n, name);
    Bytes reply = relay(call_message(kGetStatusChangeW, n.data()));
    ASSERT_EQ(return_code(reply), 0u);
    ASSERT_EQ(u32_at(reply, 42), cReaders);

    SCARD_READERSTATE direct[2] = {};
    direct[0].szReader = kFirstReader;
    direct[1].szReader = kSecondReader;
    ASSERT_EQ(SCardGetStatusChange(direct_, 0, direct, 2), SCARD_S_SUCCESS);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(names[i]);
        std::size_t at = 54 + 48 * i;
        EXPECT_EQ(u32_at(reply, at), 0u);
        EXPECT_EQ(u32_at(reply, at + 4) & 0xFFFF, direct[i].dwEventState & 0xFFFF);
        EXPECT_EQ(u32_at(reply, at + 8), direct[i].cbAtr);
        EXPECT_EQ(Bytes(reply.begin() + at + 12, reply.begin() + at + 12 + direct[i].cbAtr),
                  Bytes(direct[i].rgbAtr, direct[i].rgbAtr + direct[i].cbAtr));
    }
    EXPECT_TRUE(u32_at(reply, 54 + 4) & SCARD_STATE_PRESENT);
    // The notification entry: SCARD_STATE_CHANGED and the readers pcsc-lite has.
    std::size_t at = 54 + 48 * 2;
    uint32_t readers = 0;
    std::string list = direct_readers();
    for (std::size_t p = 0; p < list.size() && list[p] != '\0'; p = list.find('\0', p) + 1)
        ++readers;
    EXPECT_EQ(u32_at(reply, at + 4), readers << 16 | SCARD_STATE_CHANGED);
    EXPECT_EQ(u32_at(reply, at + 8), 0u);
}

// ConnectW and StatusW on the card, decoded and held against SCardStatus on the same handle.
TEST_F(WideCallsOnPcscd, ConnectWAndStatusWDescribeTheCard) {
    VirtualCard card;
    ASSERT_TRUE(card.insert());
    Ndr c;
    c.u32(0x00020000).u32(8).u32(0x00020004);
    c.u32(SCARD_SHARE_SHARED).u32(0x80000000);  // SCARD_PROTOCOL_DEFAULT
    wide_string(c, kFirstReader).array(reference_);
    Bytes reply = relay(call_message(kConnectW, c.data()));
    ASSERT_EQ(reply.size(), 78u);
    ASSERT_EQ(return_code(reply), 0u);
    uint32_t protocol = u32_at(reply, 58);
    EXPECT_TRUE(protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1) << protocol;
    Bytes handle(reply.begin() + 66, reply.begin() + 74);

    // The handle as Connect_Return handed it out, its context empty: how a Windows server sends
    // it back.
    Ndr s;
    s.u32(0).u32(0).u32(8).u32(0x00020004).u32(0).u32(kAutoAllocate).u32(32);
    s.array(handle);
    reply = relay(call_message(kStatusW, s.data()));
    ASSERT_EQ(return_code(reply), 0u);

    SCARDHANDLE direct = 0;
    std::memcpy(&direct, handle.data(), sizeof direct);
    char names[256];
    DWORD names_length = sizeof names;
    DWORD state = 0;
    DWORD direct_protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    ASSERT_EQ(SCardStatus(direct, names, &names_length, &state, &direct_protocol, atr, &atr_length),
              SCARD_S_SUCCESS);

    uint32_t n = u32_at(reply, 42);
    EXPECT_EQ(u32_at(reply, 94), n);
    EXPECT_EQ(from_utf16(Bytes(reply.begin() + 98, reply.begin() + 98 + n)),
              std::string(names) + std::string(2, '\0'));
    // A connected card with its protocol in use: SCARD_SPECIFIC, never pcsc-lite's bits.
    EXPECT_EQ(u32_at(reply, 50), 6u);
    EXPECT_EQ(u32_at(reply, 54), static_cast<uint32_t>(direct_protocol));
    EXPECT_EQ(u32_at(reply, 54), protocol);
    EXPECT_EQ(u32_at(reply, 90), static_cast<uint32_t>(atr_length));
    EXPECT_EQ(Bytes(reply.begin() + 58, reply.begin() + 58 + atr_length),
              Bytes(atr, atr + atr_length));

    Ndr d;
    d.u32(8).u32(0x00020000).u32(8).u32(0x00020004).u32(SCARD_LEAVE_CARD);
    d.array(reference_).array(handle);
    EXPECT_EQ(return_code(relay(call_message(kDisconnect, d.data()))), 0u);
}

}  // namespace
}  // namespace kx_agent::test
