// SCARD_IOCTL_CONNECTA, RECONNECT, DISCONNECT, BEGINTRANSACTION and ENDTRANSACTION against the
// recording fake.
#include <gtest/gtest.h>

#include <string>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kConnect = ioctl::connectA;
constexpr uint32_t kConnectW = ioctl::connectW;
constexpr uint32_t kReconnect = ioctl::reconnect;
constexpr uint32_t kDisconnect = ioctl::disconnect;
constexpr uint32_t kBegin = ioctl::beginTransaction;
constexpr uint32_t kEnd = ioctl::endTransaction;

const Bytes kContext = from_hex("01 A0 00 00 00 00 00 00");
const Bytes kHandle = from_hex("02 00 01 00 00 00 00 00");

// ConnectA_Call: szReader, REDIR_SCARDCONTEXT, dwShareMode, dwPreferredProtocols, then the
// reader name (maximum count, offset, actual count, bytes, padding) and the context bytes.
Bytes connect_call(const std::string& name, const Bytes& context = kContext,
                   uint32_t share_mode = SCARD_SHARE_SHARED,
                   uint32_t protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) {
    Ndr body;
    body.u32(0x00020000).u32(static_cast<uint32_t>(context.size())).u32(0x00020004);
    body.u32(share_mode).u32(protocols);
    auto length = static_cast<uint32_t>(name.size());
    body.u32(length).u32(0).u32(length).text(name).pad(4);
    body.array(context);
    return call_message(kConnect, body.data());
}

// ConnectW_Call of an ASCII name, its NUL counted.
Bytes connect_w_call(const std::string& name) {
    Ndr body;
    body.u32(0x00020000).u32(8).u32(0x00020004).u32(SCARD_SHARE_SHARED).u32(3);
    auto units = static_cast<uint32_t>(name.size() + 1);
    body.u32(units).u32(0).u32(units);
    for (char c : name + '\0') body.bytes({static_cast<uint8_t>(c), 0});
    body.pad(4).array(kContext);
    return call_message(kConnectW, body.data());
}

// A call on a card handle: REDIR_SCARDHANDLE, the call's own words, then the context and
// handle arrays with the counts given (which a well-formed call makes equal to cb). Without a
// context the REDIR_SCARDCONTEXT is empty (cbContext 0, pbContext null), as Connect_Return
// hands it out, and no context array follows.
struct HandleCall {
    uint32_t code;
    std::vector<uint32_t> words;
    Bytes handle = kHandle;
    uint32_t cb_handle = 8;
    uint32_t handle_count = 8;
    uint32_t cb_context = 8;
    uint32_t context_count = 8;
    Bytes context = kContext;
    bool with_context = true;

    Bytes message() const {
        Ndr body;
        body.u32(with_context ? cb_context : 0).u32(with_context ? 0x00020000 : 0);
        body.u32(cb_handle).u32(0x00020004);
        for (uint32_t word : words) body.u32(word);
        if (with_context) body.u32(context_count).bytes(context);
        body.u32(handle_count).bytes(handle);
        return call_message(code, body.data());
    }
};

HandleCall reconnect_call() { return {kReconnect, {SCARD_SHARE_SHARED, 3, SCARD_RESET_CARD}}; }

// Connect_Return: ReturnCode, the handle's empty context (cbContext 0, null pbContext), cbHandle
// 8 and the first referent, dwActiveProtocol, then the handle bytes, padded to 8.
TEST(Connect, SuccessAnswersTheHandleAsEightBytes) {
    FakePcsc fake;
    fake.card = 0x00010002;
    fake.active_protocol = SCARD_PROTOCOL_T1;
    Bytes reply = relay(connect_call(std::string("Reader A\0", 9)));
    EXPECT_EQ(to_hex(reply),
              "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 38 00 00 00 "
              "01 10 08 00 CC CC CC CC 28 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 08 00 00 00 00 00 02 00 02 00 00 00 "
              "08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00");
    ASSERT_EQ(fake.count("connect"), 1u);
    EXPECT_EQ(fake.last("connect")->target, 0xA001u);
    EXPECT_EQ(fake.last("connect")->text, "Reader A");
}

// Every failure is the call's own _Return with every field but ReturnCode zero: Connect_Return
// 24 bytes, Reconnect_Return 8 (no protocol), the Long_Return of the others 8.
TEST(CardConnection, FailuresAnswerTheZeroedReturn) {
    const std::string connect24 = "28 00 00 00 01 10 08 00 CC CC CC CC 18 00 00 00 00 00 00 00 ";
    const std::string long8 = "18 00 00 00 01 10 08 00 CC CC CC CC 08 00 00 00 00 00 00 00 ";
    // g++ 12 -O2 finds an overlapping memcpy in std::string's inlined insert that cannot happen.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
    const std::string zeros20 = " " + to_hex(Bytes(20, 0));
#pragma GCC diagnostic pop
    struct Case {
        const char* what;
        Bytes call;
        const char* function;  // scripted to fail with `result`; null: refused before PC/SC
        LONG result;
        std::string reply;  // from OutputBufferLength on
    };
    Bytes cutName = connect_call(std::string("Reader A\0", 9));
    cutName.resize(cutName.size() - 12);
    const Case cases[] = {
        {"ConnectA, no card", connect_call(std::string("Reader A\0", 9)), "connect",
         SCARD_E_NO_SMARTCARD, connect24 + "0C 00 10 80" + zeros20},
        {"ConnectW, sharing", connect_w_call("Reader A"), "connect", SCARD_E_SHARING_VIOLATION,
         connect24 + "0B 00 10 80" + zeros20},
        {"ConnectA, zero context", connect_call("R", Bytes(8, 0)), nullptr, 0,
         connect24 + "03 00 10 80" + zeros20},
        {"ConnectA, cut short", cutName, nullptr, 0, connect24 + "04 00 10 80" + zeros20},
        {"Reconnect, removed card", reconnect_call().message(), "reconnect", SCARD_W_REMOVED_CARD,
         long8 + "69 00 10 80 00 00 00 00"},
        {"Reconnect, handle count lies", HandleCall{kReconnect, {2, 3, 0}, kHandle, 8, 4}.message(),
         nullptr, 0, long8 + "11 00 10 80 00 00 00 00"},
        {"Disconnect", HandleCall{kDisconnect, {0}}.message(), "disconnect", SCARD_E_INVALID_HANDLE,
         long8 + "03 00 10 80 00 00 00 00"},
        {"BeginTransaction", HandleCall{kBegin, {0}}.message(), "begin_transaction",
         SCARD_E_SHARING_VIOLATION, long8 + "0B 00 10 80 00 00 00 00"},
        {"EndTransaction", HandleCall{kEnd, {0}}.message(), "end_transaction",
         SCARD_E_NOT_TRANSACTED, long8 + "16 00 10 80 00 00 00 00"},
    };
    for (const Case& c : cases) {
        FakePcsc fake;
        fake.active_protocol = SCARD_PROTOCOL_T1;  // what a failing service must not pass on
        if (c.function != nullptr) fake.results[c.function] = c.result;
        EXPECT_EQ(to_hex(relay(c.call)),
                  "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 " + c.reply)
            << c.what;
        EXPECT_EQ(fake.calls.size(), c.function != nullptr ? 1u : 0u) << c.what;
    }
}

// The share mode passes as it is; the protocols go to pcsc-lite in its numbering (RAW 0x10000
// is its 4, DEFAULT asks for T=0 or T=1) and the active one comes back in the client's.
TEST(Connect, ShareModeAndProtocolsInEachNumbering) {
    struct Case {
        uint32_t share;
        uint32_t asked;     // client's numbering
        uint64_t toPcsc;    // pcsc-lite's
        DWORD active;       // pcsc-lite's answer
        uint32_t answered;  // client's numbering
    };
    for (const Case& c : {Case{SCARD_SHARE_EXCLUSIVE, 1, 1, SCARD_PROTOCOL_T0, 1},
                          Case{SCARD_SHARE_SHARED, 3, 3, SCARD_PROTOCOL_T1, 2},
                          Case{SCARD_SHARE_DIRECT, 0, 0, 0, 0},
                          Case{SCARD_SHARE_SHARED, 0x80000000, 3, SCARD_PROTOCOL_T1, 2},
                          Case{SCARD_SHARE_SHARED, 0x00010000, 4, SCARD_PROTOCOL_RAW, 0x00010000},
                          Case{0xFFFFFFFF, 0x00010003, 7, SCARD_PROTOCOL_RAW, 0x00010000}}) {
        FakePcsc fake;
        fake.active_protocol = c.active;
        Bytes reply = relay(connect_call(std::string("R\0", 2), kContext, c.share, c.asked));
        ASSERT_NE(fake.last("connect"), nullptr);
        EXPECT_EQ(fake.last("connect")->args, (std::vector<uint64_t>{c.share, c.toPcsc}));
        EXPECT_EQ(u32_at(reply, 58), c.answered) << c.asked;

        // Reconnect maps the same way.
        relay(HandleCall{kReconnect, {c.share, c.asked, SCARD_LEAVE_CARD}}.message());
        EXPECT_EQ(fake.last("reconnect")->args[1], c.toPcsc);
        reply = relay(HandleCall{kReconnect, {c.share, c.asked, SCARD_LEAVE_CARD}}.message());
        EXPECT_EQ(u32_at(reply, 42), c.answered) << c.asked;
    }
}

// The name's actual count decides how much is read and how much padding follows it; the
// context bytes after the padding must still decode.
TEST(Connect, ReaderNameIsReadByItsCountAndPadding) {
    struct Case {
        std::string wire;  // the L bytes sent
        std::string seen;  // the name PC/SC receives
    };
    for (const Case& c : {Case{std::string("Abcde\0", 6), "Abcde"},      // 2 padding bytes
                          Case{std::string("Abcdefg\0", 8), "Abcdefg"},  // none
                          Case{std::string("Abcd\0", 5), "Abcd"},        // 3
                          Case{"ABCD", "ABCD"},                          // no NUL: not read past
                          Case{"", ""}}) {
        FakePcsc fake;
        Bytes reply = relay(connect_call(c.wire));
        ASSERT_EQ(reply.size(), 78u) << c.seen;
        ASSERT_EQ(fake.count("connect"), 1u) << c.seen;
        EXPECT_EQ(fake.last("connect")->text, c.seen);
        EXPECT_EQ(fake.last("connect")->target, 0xA001u) << c.seen;
    }
}

TEST(Connect, NameLongerThanTheCallIsInvalidParameter) {
    for (uint32_t length : {21u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        FakePcsc fake;
        Ndr body;
        body.u32(0x00020000).u32(8).u32(0x00020004).u32(2).u32(3);
        body.u32(length).u32(0).u32(length).text("Reader").pad(4).array(kContext);
        Bytes reply = relay(call_message(kConnect, body.data()));
        ASSERT_EQ(reply.size(), 62u) << length;
        EXPECT_EQ(return_code(reply), 0x80100004u) << length;
        EXPECT_TRUE(fake.calls.empty()) << length;
    }
}

TEST(Connect, EmptyContextIsInvalidHandleWithoutPcsc) {
    FakePcsc fake;
    for (const Bytes& context : {Bytes(8, 0), Bytes(16, 0x55), Bytes{}, Bytes(3, 1)}) {
        Bytes reply = relay(connect_call(std::string("R\0", 2), context));
        ASSERT_EQ(reply.size(), 62u);
        EXPECT_EQ(return_code(reply), 0x80100003u);
    }
    EXPECT_TRUE(fake.calls.empty());
}

// The handle bytes of a connect reply, sent back, reach PC/SC as the same 64-bit handle: with the
// client's context, and in the REDIR_SCARDHANDLE as the reply handed it out, its context empty
// (how a Windows server sends it back).
TEST(CardHandle, BytesOfAConnectReplyComeBackWhole) {
    FakePcsc fake;
    fake.card = 0x0000123456789ABC;
    Bytes reply = relay(connect_call(std::string("R\0", 2)));
    ASSERT_EQ(reply.size(), 78u);
    Bytes handle(reply.begin() + 66, reply.begin() + 74);
    struct Case {
        uint32_t code;
        const char* function;
    };
    for (bool with_context : {true, false}) {
        for (auto [code, function] :
             {Case{kReconnect, "reconnect"}, Case{kDisconnect, "disconnect"},
              Case{kBegin, "begin_transaction"}, Case{kEnd, "end_transaction"}}) {
            HandleCall call{code, code == kReconnect ? std::vector<uint32_t>{2, 3, 0}
                                                     : std::vector<uint32_t>{0}};
            call.handle = handle;
            call.with_context = with_context;
            fake.calls.clear();
            EXPECT_EQ(return_code(relay(call.message())), 0u) << function << with_context;
            ASSERT_EQ(fake.count(function), 1u) << function;
            EXPECT_EQ(fake.last(function)->target, 0x0000123456789ABCu) << function;
        }
    }
    // Four handle bytes are a 32-bit value.
    HandleCall call{kDisconnect, {0}, from_hex("02 01 00 00"), 4, 4};
    relay(call.message());
    EXPECT_EQ(fake.last("disconnect")->target, 0x0102u);
}

TEST(Reconnect, SuccessAnswersTheActiveProtocol) {
    FakePcsc fake;
    fake.active_protocol = SCARD_PROTOCOL_T0;
    Bytes reply = relay(reconnect_call().message());
    ASSERT_EQ(reply.size(), 46u);
    EXPECT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), static_cast<uint32_t>(SCARD_PROTOCOL_T0));
    ASSERT_EQ(fake.count("reconnect"), 1u);
    EXPECT_EQ(fake.last("reconnect")->target, 0x00010002u);
    EXPECT_EQ(fake.last("reconnect")->args,
              (std::vector<uint64_t>{SCARD_SHARE_SHARED, 3, SCARD_RESET_CARD}));
}

// Reconnect and disconnect answer PC/SC's own code, so the client can tell a removed card from
// a handle it no longer holds.
TEST(Reconnect, FailuresKeepPcscsCode) {
    for (LONG code : {SCARD_E_NO_SMARTCARD, SCARD_E_INVALID_HANDLE, SCARD_W_REMOVED_CARD}) {
        FakePcsc fake;
        fake.results["reconnect"] = code;
        fake.results["disconnect"] = code;
        Bytes reply = relay(reconnect_call().message());
        EXPECT_EQ(return_code(reply), static_cast<uint32_t>(code));
        EXPECT_EQ(u32_at(reply, 42), 0u);  // PC/SC left the protocol unset
        reply = relay(HandleCall{kDisconnect, {SCARD_UNPOWER_CARD}}.message());
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), static_cast<uint32_t>(code));
    }
}

TEST(Disconnect, PassesTheDisposition) {
    FakePcsc fake;
    Bytes reply = relay(HandleCall{kDisconnect, {SCARD_EJECT_CARD}}.message());
    EXPECT_EQ(return_code(reply), 0u);
    ASSERT_EQ(fake.count("disconnect"), 1u);
    EXPECT_EQ(fake.last("disconnect")->args, (std::vector<uint64_t>{SCARD_EJECT_CARD}));
}

// Transactions answer PC/SC's own code, success included.
TEST(Transactions, PcscResultPassesThroughUnchanged) {
    struct Case {
        uint32_t code;
        const char* function;
        LONG result;
    };
    for (const Case& c : {Case{kBegin, "begin_transaction", SCARD_S_SUCCESS},
                          Case{kBegin, "begin_transaction", SCARD_E_SHARING_VIOLATION},
                          Case{kEnd, "end_transaction", SCARD_S_SUCCESS},
                          Case{kEnd, "end_transaction", SCARD_E_NOT_TRANSACTED},
                          Case{kEnd, "end_transaction", SCARD_W_RESET_CARD}}) {
        FakePcsc fake;
        fake.results[c.function] = c.result;
        Bytes reply = relay(HandleCall{c.code, {SCARD_RESET_CARD}}.message());
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), static_cast<uint32_t>(c.result)) << c.function;
        EXPECT_EQ(u32_at(reply, 42), 0u);
        ASSERT_EQ(fake.count(c.function), 1u);
    }
    FakePcsc fake;
    relay(HandleCall{kEnd, {SCARD_RESET_CARD}}.message());
    EXPECT_EQ(fake.last("end_transaction")->args, (std::vector<uint64_t>{SCARD_RESET_CARD}));
}

TEST(HandleDecoding, BadReferencesNeverReachPcsc) {
    struct Case {
        const char* what;
        HandleCall call;
        uint32_t expected;
    };
    auto with = [](auto change) {
        HandleCall call{kDisconnect, {0}};
        change(call);
        return call;
    };
    const Case cases[] = {
        {"handle count differs", with([](HandleCall& c) { c.cb_handle = 4; }), 0x80100011},
        {"context count differs", with([](HandleCall& c) { c.context_count = 4; }), 0x80100011},
        {"zero handle", with([](HandleCall& c) { c.handle = Bytes(8, 0); }), 0x80100003},
        {"16-byte handle", with([](HandleCall& c) {
             c.handle = Bytes(16, 1);
             c.cb_handle = c.handle_count = 16;
         }),
         0x80100003},
        {"no handle", with([](HandleCall& c) {
             c.handle = {};
             c.cb_handle = c.handle_count = 0;
         }),
         0x80100003},
    };
    for (uint32_t code : {kReconnect, kDisconnect, kBegin, kEnd}) {
        for (const Case& c : cases) {
            FakePcsc fake;
            HandleCall call = c.call;
            call.code = code;
            if (code == kReconnect) call.words = {2, 3, 0};
            Bytes reply = relay(call.message());
            ASSERT_EQ(reply.size(), 46u) << c.what;
            EXPECT_EQ(return_code(reply), c.expected) << c.what << " " << code;
            EXPECT_EQ(u32_at(reply, 42), 0u) << c.what;
            EXPECT_TRUE(fake.calls.empty()) << c.what;
        }
    }
}

// Every prefix of a valid call is answered SCARD_E_INVALID_PARAMETER without reaching PC/SC.
TEST(CardConnection, TruncatedCallsNeverReachPcsc) {
    for (const Bytes& full : {connect_call(std::string("Abcde\0", 6)), connect_call("ABCD"),
                              reconnect_call().message(), HandleCall{kDisconnect, {0}}.message(),
                              HandleCall{kBegin, {0}}.message(), HandleCall{kEnd, {0}}.message()}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
    }
}

}  // namespace
}  // namespace kx_agent::test
