// A Windows logon, as a Windows remote-desktop server drives it through the relay, against the
// real pcscd and the virtual card: each step's decoded answer is held against the same call made
// directly on pcsc-lite. relay() decodes every reply strictly, as such a server does.
#include <gtest/gtest.h>
#include <PCSC/winscard.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "strict_return.h"
#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kAccessStarted = ioctl::accessStartedEvent;
constexpr uint32_t kEstablish = ioctl::establishContext;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kListReadersW = ioctl::listReadersW;
constexpr uint32_t kGetStatusChangeW = ioctl::getStatusChangeW;
constexpr uint32_t kCancel = ioctl::cancel;
constexpr uint32_t kConnectW = ioctl::connectW;
constexpr uint32_t kDisconnect = ioctl::disconnect;
constexpr uint32_t kBegin = ioctl::beginTransaction;
constexpr uint32_t kEnd = ioctl::endTransaction;
constexpr uint32_t kStatusW = ioctl::statusW;
constexpr uint32_t kTransmit = ioctl::transmit;
constexpr uint32_t kLocateByAtrW = ioctl::locateCardsByAtrW;
constexpr uint32_t kReadCacheW = ioctl::readCacheW;
constexpr uint32_t kWriteCacheW = ioctl::writeCacheW;
constexpr uint32_t kTransmitCount = ioctl::getTransmitCount;
constexpr uint32_t kDeviceTypeId = ioctl::getDeviceTypeId;
constexpr uint32_t kAutoAllocate = 0xFFFFFFFF;
constexpr const char* kNotification = "\\\\?PnP?\\Notification";
const Bytes kSelect = from_hex("00 A4 04 00 00");
const Bytes kCardId = from_hex("0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1 F0");

// Reader names here are ASCII: UTF-16LE is each byte and a zero.
Bytes utf16(const std::string& text) {
    Bytes out;
    for (char c : text) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
    return out;
}
std::string from_utf16(const Bytes& bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) out += static_cast<char>(bytes[i]);
    return out;
}
// A W conformant varying string: counts in 16-bit units, the NUL included.
Ndr& wide_string(Ndr& n, const std::string& text) {
    auto count = static_cast<uint32_t>(text.size() + 1);
    return n.u32(count).u32(0).u32(count).bytes(utf16(text + '\0')).pad(4);
}
std::vector<std::string> split(const std::string& multi) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at < multi.size() && multi[at] != '\0';) {
        std::size_t end = multi.find('\0', at);
        names.push_back(multi.substr(at, end - at));
        at = end + 1;
    }
    return names;
}
// The enumeration of MS-RDPESC 2.2.4 for pcsc-lite's state bits: the most advanced state, and
// SCARD_SPECIFIC for a powered card with a protocol in use, as Windows reports it.
uint32_t windows_card_state(DWORD bits, DWORD protocol) {
    const DWORD order[] = {SCARD_SPECIFIC,  SCARD_NEGOTIABLE, SCARD_POWERED,
                           SCARD_SWALLOWED, SCARD_PRESENT,    SCARD_ABSENT};
    for (uint32_t i = 0; i < 6; ++i)
        if (bits & order[i]) return protocol != 0 && i <= 2 ? 6 : 6 - i;
    return 0;
}

class WindowsLogon : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pcsc_stack_available());
        ASSERT_TRUE(card_.insert());
        ASSERT_TRUE(wait_for_card(kSecondReader, false, 5000));
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &direct_),
                  SCARD_S_SUCCESS);
    }
    void TearDown() override {
        if (!context_.empty()) relay(call_message(kRelease, contextBody()));
        SCardReleaseContext(direct_);
    }

    Bytes contextBody() const { return Ndr().u32(8).u32(0x00020000).array(context_).data(); }
    // A call on the card: REDIR_SCARDHANDLE, the words, the context and handle bytes.
    Bytes onCard(uint32_t code, std::initializer_list<uint32_t> words, const Bytes& tail = {}) {
        Ndr n;
        n.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
        for (uint32_t word : words) n.u32(word);
        n.array(context_).array(handle_).bytes(tail);
        return relay(call_message(code, n.data()));
    }
    Bytes connectW(const std::string& reader) {
        Ndr n;
        n.u32(0x00020000).u32(8).u32(0x00020004).u32(SCARD_SHARE_SHARED);
        n.u32(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        wide_string(n, reader).array(context_);
        return relay(call_message(kConnectW, n.data()));
    }
    // GetStatusChangeW on readers by name, each with the state the client knows.
    Bytes statusChangeW(uint32_t timeout,
                        const std::vector<std::pair<std::string, uint32_t>>& known) {
        auto count = static_cast<uint32_t>(known.size());
        Ndr n;
        n.u32(8).u32(0x00020000).u32(timeout).u32(count).u32(0x00020004).array(context_);
        n.u32(count);
        for (uint32_t i = 0; i < count; ++i)
            n.u32(0x00020008 + 4 * i).u32(known[i].second).u32(0).u32(0).zeros(36);
        for (const auto& entry : known) wide_string(n, entry.first);
        return relay(call_message(kGetStatusChangeW, n.data()));
    }
    Bytes cacheCall(uint32_t code, uint32_t freshness, const Bytes& data) {
        Ndr n;
        n.u32(0x00020000).u32(8).u32(0x00020004).u32(0x00020008).u32(freshness);
        if (code == kWriteCacheW) n.u32(static_cast<uint32_t>(data.size())).u32(0x0002000C);
        else n.u32(0).u32(kAutoAllocate);
        wide_string(n, "Cardid/Logon").array(context_).bytes(kCardId);
        if (code == kWriteCacheW) n.array(data).pad(4);
        return relay(call_message(code, n.data()));
    }

    VirtualCard card_;
    SCARDCONTEXT direct_ = 0;
    Bytes context_;
    Bytes handle_;
};

TEST_F(WindowsLogon, ASessionSeesTheCardAsPcscLiteDoes) {
    // 1. The service runs: asked as a Windows server asks, with 4 bytes that are no NDR at all
    // ([MS-RDPESC] 2.2.2.30), and in the form with the type headers.
    Bytes bare = Ndr().bytes({3, 3}).u32(kAccessStarted).u32(1).u32(2).u32(0x5A17C0DE).data();
    for (const Bytes& call : {bare, call_message(kAccessStarted, Ndr().u32(0).data())})
        EXPECT_EQ(return_code(relay(call)), 0u) << to_hex(call);

    // 2. A context of scope SYSTEM.
    Bytes reply = relay(call_message(kEstablish, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
    ASSERT_EQ(return_code(reply), 0u);
    context_.assign(reply.end() - 8, reply.end());

    // 3. The readers of "SCard$AllReaders", the buffer allocated for the client.
    Ndr list;
    Bytes group = utf16(std::string("SCard$AllReaders") + '\0' + '\0');
    list.u32(8).u32(0x00020000).u32(static_cast<uint32_t>(group.size())).u32(0x00020004);
    list.u32(0).u32(kAutoAllocate).array(context_).array(group).pad(4);
    reply = relay(call_message(kListReadersW, list.data()));
    ASSERT_EQ(return_code(reply), 0u);
    uint32_t cBytes = u32_at(reply, 42);
    std::vector<std::string> readers =
        split(from_utf16(Bytes(reply.begin() + 54, reply.begin() + 54 + cBytes)));
    char direct_names[1024];
    DWORD direct_length = sizeof direct_names;
    ASSERT_EQ(SCardListReaders(direct_, nullptr, direct_names, &direct_length), SCARD_S_SUCCESS);
    EXPECT_EQ(readers, split(std::string(direct_names, direct_length)));
    EXPECT_EQ(cBytes, 2 * direct_length);
    ASSERT_GE(readers.size(), 2u);

    // 4. The readers' states with the notification entry, which knows how many readers there
    // are: the states come back at once, as pcsc-lite gives them.
    std::vector<std::string> watched{kFirstReader, kSecondReader, kNotification};
    reply = statusChangeW(0, {{kFirstReader, 0},
                              {kSecondReader, 0},
                              {kNotification, static_cast<uint32_t>(readers.size()) << 16}});
    ASSERT_EQ(return_code(reply), 0u);
    ASSERT_EQ(u32_at(reply, 42), 3u);
    SCARD_READERSTATE direct_states[2] = {};
    direct_states[0].szReader = kFirstReader;
    direct_states[1].szReader = kSecondReader;
    ASSERT_EQ(SCardGetStatusChange(direct_, 0, direct_states, 2), SCARD_S_SUCCESS);
    for (std::size_t i = 0; i < 2; ++i) {
        std::size_t at = 54 + 48 * i;
        EXPECT_EQ(u32_at(reply, at + 4) & 0xFFFF & ~SCARD_STATE_CHANGED,
                  direct_states[i].dwEventState & 0xFFFF & ~SCARD_STATE_CHANGED)
            << watched[i];
        EXPECT_EQ(u32_at(reply, at + 8), direct_states[i].cbAtr) << watched[i];
    }
    EXPECT_TRUE(u32_at(reply, 58) & SCARD_STATE_PRESENT);
    EXPECT_EQ(u32_at(reply, 54 + 96 + 4) >> 16, readers.size());  // the reader count

    // 4b. The server's waits on what it now knows: one runs out of time, one ends by a Cancel
    // from another thread. Each comes back as the whole GetStatusChange_Return, zeroed.
    std::vector<std::pair<std::string, uint32_t>> known;
    for (std::size_t i = 0; i < watched.size(); ++i)
        known.emplace_back(watched[i], u32_at(reply, 54 + 48 * i + 4));
    auto expect_zeroed_wait = [](const Bytes& wait_reply, uint32_t code) {
        auto decoded = decode_return(kGetStatusChangeW, wait_reply);
        if (!decoded) return;  // relay() has said why
        EXPECT_EQ(decoded->return_code, code);
        EXPECT_EQ(decoded->object_buffer_length, 16u);
        EXPECT_EQ(decoded->words.at("cReaders"), 0u);
        EXPECT_TRUE(decoded->is_null("rgReaderStates"));
    };
    expect_zeroed_wait(statusChangeW(100, known), SCARD_E_TIMEOUT);

    std::atomic<bool> waited = false;
    auto waiting = std::async(std::launch::async, [&] {
        Bytes wait_reply = statusChangeW(20000, known);
        waited = true;
        return wait_reply;
    });
    // A cancel that reaches PC/SC before the wait has begun ends nothing: it is sent until the
    // wait returns.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
         !waited && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(return_code(relay(call_message(kCancel, contextBody()))), 0u);
    }
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    expect_zeroed_wait(waiting.get(), SCARD_E_CANCELLED);

    // 5. Connect, then a SELECT inside a transaction.
    reply = connectW(kFirstReader);
    ASSERT_EQ(return_code(reply), 0u);
    uint32_t protocol = u32_at(reply, 58);
    handle_.assign(reply.begin() + 66, reply.begin() + 74);

    EXPECT_EQ(return_code(onCard(kBegin, {SCARD_LEAVE_CARD})), 0u);
    Ndr select;
    select.u32(protocol).u32(0).u32(0).u32(static_cast<uint32_t>(kSelect.size())).u32(0x00020008);
    select.u32(0).u32(0).u32(258);
    Bytes apdu = Ndr().array(kSelect).pad(4).data();
    Bytes fixed = select.data();
    Ndr transmit;
    transmit.u32(8).u32(0x00020000).u32(8).u32(0x00020004).bytes(fixed);
    transmit.array(context_).array(handle_).bytes(apdu);
    reply = relay(call_message(kTransmit, transmit.data()));
    ASSERT_EQ(return_code(reply), 0u);
    Bytes response(reply.begin() + 58, reply.begin() + 58 + u32_at(reply, 46));
    EXPECT_EQ(return_code(onCard(kEnd, {SCARD_LEAVE_CARD})), 0u);

    SCARDHANDLE direct_card = 0;
    DWORD direct_protocol = 0;
    ASSERT_EQ(SCardConnect(direct_, kFirstReader, SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &direct_card, &direct_protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(protocol, direct_protocol);
    BYTE direct_response[258];
    DWORD direct_response_length = sizeof direct_response;
    ASSERT_EQ(SCardTransmit(direct_card,
                            direct_protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                            kSelect.data(), kSelect.size(), nullptr, direct_response,
                            &direct_response_length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(response, Bytes(direct_response, direct_response + direct_response_length));

    // 6. The status, in Windows' numbering.
    reply = onCard(kStatusW, {0, kAutoAllocate, 32});
    ASSERT_EQ(return_code(reply), 0u);
    char names[256];
    DWORD names_length = sizeof names;
    DWORD state = 0;
    DWORD status_protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    ASSERT_EQ(
        SCardStatus(direct_card, names, &names_length, &state, &status_protocol, atr, &atr_length),
        SCARD_S_SUCCESS);
    uint32_t n = u32_at(reply, 42);
    EXPECT_EQ(split(from_utf16(Bytes(reply.begin() + 98, reply.begin() + 98 + n))),
              split(std::string(names, names_length)));
    EXPECT_EQ(u32_at(reply, 50), windows_card_state(state, status_protocol));
    EXPECT_EQ(u32_at(reply, 54), static_cast<uint32_t>(status_protocol));
    Bytes card_atr(atr, atr + atr_length);
    EXPECT_EQ(Bytes(reply.begin() + 58, reply.begin() + 58 + u32_at(reply, 90)), card_atr);
    SCardDisconnect(direct_card, SCARD_LEAVE_CARD);

    // 7. One transmit completed through the agent on the reader since the card was inserted;
    // the reader is a known one.
    reply = onCard(kTransmitCount, {});
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 1u);
    for (auto [reader, code, type] : {std::tuple{kFirstReader, 0u, 0x20u},
                                      std::tuple{"No Such Reader 00 00", 0x80100009u, 0u}}) {
        Ndr device;
        device.u32(8).u32(0x00020000).u32(0x00020004).array(context_);
        wide_string(device, reader);
        reply = relay(call_message(kDeviceTypeId, device.data()));
        EXPECT_EQ(return_code(reply), code) << reader;
        EXPECT_EQ(u32_at(reply, 42), type) << reader;
    }

    // 8. The minidriver's cache: written, read back, stale under another counter.
    const Bytes cached = from_hex("01 02 03 04 05 06 07");
    EXPECT_EQ(return_code(cacheCall(kWriteCacheW, 1, cached)), 0u);
    reply = cacheCall(kReadCacheW, 1, {});
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(Bytes(reply.begin() + 54, reply.begin() + 54 + u32_at(reply, 42)), cached);
    EXPECT_EQ(return_code(cacheCall(kReadCacheW, 2, {})), 0x80100071u);

    // 9. The card found by its ATR, in the first reader only.
    Ndr locate;
    locate.u32(8).u32(0x00020000).u32(1).u32(0x00020004).u32(2).u32(0x00020008);
    locate.array(context_).u32(1);
    locate.u32(static_cast<uint32_t>(card_atr.size())).bytes(card_atr).zeros(36 - card_atr.size());
    locate.bytes(Bytes(card_atr.size(), 0xFF)).zeros(36 - card_atr.size());
    locate.u32(2);
    for (uint32_t i = 0; i < 2; ++i) locate.u32(0x0002000C + 4 * i).u32(0).u32(0).u32(0).zeros(36);
    wide_string(locate, kFirstReader);
    wide_string(locate, kSecondReader);
    reply = relay(call_message(kLocateByAtrW, locate.data()));
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_TRUE(u32_at(reply, 58) & SCARD_STATE_ATRMATCH);
    EXPECT_FALSE(u32_at(reply, 58 + 48) & SCARD_STATE_ATRMATCH);

    // 10. The end of the session: the card left, the context released, its cache items gone.
    EXPECT_EQ(return_code(onCard(kDisconnect, {SCARD_LEAVE_CARD})), 0u);
    EXPECT_EQ(return_code(relay(call_message(kRelease, contextBody()))), 0u);
    reply = relay(call_message(kEstablish, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
    ASSERT_EQ(return_code(reply), 0u);
    context_.assign(reply.end() - 8, reply.end());
    EXPECT_EQ(return_code(cacheCall(kReadCacheW, 1, {})), 0x80100070u);

    // 11. The card pulled out under an open handle: StatusW answers what pcsc-lite answers,
    // SCARD_W_REMOVED_CARD, in the whole Status_Return, zeroed.
    ASSERT_TRUE(holds_no_foreign_card(card_));
    reply = connectW(kFirstReader);
    ASSERT_EQ(return_code(reply), 0u);
    handle_.assign(reply.begin() + 66, reply.begin() + 74);
    ASSERT_EQ(SCardConnect(direct_, kFirstReader, SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &direct_card, &direct_protocol),
              SCARD_S_SUCCESS);
    card_.remove();
    names_length = sizeof names;
    atr_length = sizeof atr;
    EXPECT_EQ(
        SCardStatus(direct_card, names, &names_length, &state, &status_protocol, atr, &atr_length),
        SCARD_W_REMOVED_CARD);
    reply = onCard(kStatusW, {0, kAutoAllocate, 32});
    if (auto decoded = decode_return(kStatusW, reply)) {
        EXPECT_EQ(decoded->return_code, static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
        EXPECT_EQ(decoded->object_buffer_length, 56u);
        for (const char* word : {"cBytes", "mszReaderNames", "dwState", "dwProtocol", "cbAtrLen"})
            EXPECT_EQ(decoded->words.at(word), 0u) << word;
        EXPECT_EQ(decoded->bytes.at("pbAtr"), Bytes(32, 0));
    }
    EXPECT_EQ(return_code(onCard(kDisconnect, {SCARD_LEAVE_CARD})),
              static_cast<uint32_t>(SCardDisconnect(direct_card, SCARD_LEAVE_CARD)));
}

}  // namespace
}  // namespace kx_agent::test
