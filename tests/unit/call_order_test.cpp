// What a call waits for on a connection that runs calls side by side: the context it names,
// read from the call without carrying it out.
#include <gtest/gtest.h>

#include <string>

#include "fake_pcsc.h"
#include "smartcard/smartcard.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

using smartcard::CallOrder;
using Kind = CallOrder::Kind;

constexpr uint64_t kContext = 0x0000A0B1;

// A REDIR_SCARDHANDLE call: the handle's two words, `words` more fixed words, then the context
// and handle arrays.
Bytes handle_call(uint32_t code, std::size_t words, uint64_t context = kContext) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(8).u32(0x00020004);
    for (std::size_t i = 0; i < words; ++i) n.u32(0);
    n.context(context).context(0x00010002);
    return call_message(code, n.data());
}

Bytes context_call(uint32_t code, uint64_t context = kContext) {
    return call_message(code, Ndr().u32(8).u32(0x00020000).context(context).data());
}

// ConnectA/W: the reader name (in `unit`-byte characters) comes before the context.
Bytes connect_call(uint32_t code, const std::string& name, std::size_t unit,
                   Bytes context = Ndr().u64(kContext).data()) {
    Ndr n;
    n.u32(0x00020000).u32(static_cast<uint32_t>(context.size())).u32(0x00020004).u32(2).u32(3);
    auto units = static_cast<uint32_t>(name.size() + 1);
    n.u32(units).u32(0).u32(units);
    for (char c : name) {
        n.bytes({static_cast<uint8_t>(c)});
        if (unit == 2) n.bytes({0});
    }
    n.zeros(unit).pad(4);
    n.array(context);
    return call_message(code, n.data());
}

// A context call with `words` more fixed words after the REDIR_SCARDCONTEXT (and `before` in
// front of it), then the context.
Bytes context_words_call(uint32_t code, std::size_t words, std::size_t before = 0) {
    Ndr n;
    for (std::size_t i = 0; i < before; ++i) n.u32(0x00020008);
    n.u32(8).u32(0x00020000);
    for (std::size_t i = 0; i < words; ++i) n.u32(0);
    n.context(kContext);
    return call_message(code, n.data());
}

// GetDeviceTypeId: the context, then the reader name (wide characters).
Bytes device_type_call() {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0x00020004).context(kContext);
    n.u32(2).u32(0).u32(2).bytes({'R', 0, 0, 0});
    return call_message(ioctl::getDeviceTypeId, n.data());
}

// ReadCache/WriteCache: szLookupName, the context, CardIdentifier, FreshnessCounter, two words
// (no data: a cbDataLen of 0, a null pbData); then the lookup name (in `unit`-byte characters),
// the context and the card identifier.
Bytes cache_call(uint32_t code, std::size_t unit) {
    Ndr n;
    n.u32(0x00020000).u32(8).u32(0x00020004).u32(0x00020008).u32(1).u32(0).u32(0);
    const std::string name = "Cache item";
    auto units = static_cast<uint32_t>(name.size() + 1);
    n.u32(units).u32(0).u32(units);
    for (char c : name) {
        n.bytes({static_cast<uint8_t>(c)});
        if (unit == 2) n.bytes({0});
    }
    n.zeros(unit).pad(4);
    n.context(kContext).zeros(16);
    return call_message(code, n.data());
}

Bytes status_change_call(uint32_t code, uint64_t context = kContext) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0xFFFFFFFF).u32(0).u32(0x00020004);
    n.context(context).u32(0);
    return call_message(code, n.data());
}

Bytes list_readers_call(uint32_t code) {
    Ndr n;
    n.u32(8).u32(0x00020000).u32(0).u32(0).u32(0).u32(0xFFFFFFFF).context(kContext);
    return call_message(code, n.data());
}

TEST(CallOrder, EveryCallOnAContextNamesIt) {
    struct Case {
        const char* name;
        Bytes message;
        Kind kind;
        bool atOnce;  // neither exchanges with a card nor waits: strict order runs it inline
    };
    const Case cases[] = {
        {"ReleaseContext", context_call(ioctl::releaseContext), Kind::context, true},
        {"IsValidContext", context_call(ioctl::isValidContext), Kind::context, true},
        {"Cancel", context_call(ioctl::cancel), Kind::cancel, true},
        {"ListReadersA", list_readers_call(ioctl::listReadersA), Kind::context, true},
        {"ListReadersW", list_readers_call(ioctl::listReadersW), Kind::context, true},
        {"GetStatusChangeA", status_change_call(ioctl::getStatusChangeA), Kind::context, false},
        {"GetStatusChangeW", status_change_call(ioctl::getStatusChangeW), Kind::context, false},
        {"ConnectA", connect_call(ioctl::connectA, "Reader A", 1), Kind::context, false},
        {"ConnectA, name of 4n bytes", connect_call(ioctl::connectA, "Rdr", 1), Kind::context,
         false},
        {"ConnectW", connect_call(ioctl::connectW, "Reader A", 2), Kind::context, false},
        {"Reconnect", handle_call(ioctl::reconnect, 3), Kind::context, false},
        {"Disconnect", handle_call(ioctl::disconnect, 1), Kind::context, false},
        {"BeginTransaction", handle_call(ioctl::beginTransaction, 1), Kind::context, false},
        {"EndTransaction", handle_call(ioctl::endTransaction, 1), Kind::endTransaction, false},
        {"StatusA", handle_call(ioctl::statusA, 3), Kind::context, true},
        {"StatusW", handle_call(ioctl::statusW, 3), Kind::context, true},
        {"Transmit", handle_call(ioctl::transmit, 8), Kind::context, false},
        {"Control", handle_call(ioctl::control, 5), Kind::context, false},
        {"GetAttrib", handle_call(ioctl::getAttrib, 3), Kind::context, false},
        {"ListReaderGroupsA", context_words_call(ioctl::listReaderGroupsA, 2), Kind::context, true},
        {"ListReaderGroupsW", context_words_call(ioctl::listReaderGroupsW, 2), Kind::context, true},
        {"State", handle_call(ioctl::state, 2), Kind::context, true},
        {"SetAttrib", handle_call(ioctl::setAttrib, 3), Kind::context, false},
        {"GetTransmitCount", handle_call(ioctl::getTransmitCount, 0), Kind::context, true},
        {"LocateCardsByATRA", context_words_call(ioctl::locateCardsByAtrA, 4), Kind::context, true},
        {"LocateCardsByATRW", context_words_call(ioctl::locateCardsByAtrW, 4), Kind::context, true},
        {"GetDeviceTypeId", device_type_call(), Kind::context, true},
        {"ReadCacheA", cache_call(ioctl::readCacheA, 1), Kind::context, true},
        {"ReadCacheW", cache_call(ioctl::readCacheW, 2), Kind::context, true},
        {"WriteCacheA", cache_call(ioctl::writeCacheA, 1), Kind::context, true},
        {"WriteCacheW", cache_call(ioctl::writeCacheW, 2), Kind::context, true},
    };
    for (const auto& c : cases) {
        const auto decoded = smartcard::decode(c.message);
        const auto& order = decoded.order;
        EXPECT_EQ(order.kind, c.kind) << c.name;
        EXPECT_EQ(decoded.atOnce, c.atOnce) << c.name;
        EXPECT_EQ(order.context, kContext) << c.name;
        // Side by side it runs behind the earlier calls on its context; a Cancel beside them.
        EXPECT_EQ(decoded.lane, c.kind == Kind::cancel ? 0 : kContext) << c.name;
    }
    // A handle whose context is empty, as Connect_Return hands it out, is ordered by the handle.
    struct EmptyContext {
        uint32_t code;
        std::size_t words;  // fixed words after the REDIR_SCARDHANDLE
    };
    for (auto [code, words] :
         {EmptyContext{ioctl::reconnect, 3}, EmptyContext{ioctl::disconnect, 1},
          EmptyContext{ioctl::state, 2}, EmptyContext{ioctl::statusW, 3},
          EmptyContext{ioctl::getTransmitCount, 0}}) {
        Ndr n;
        n.u32(0).u32(0).u32(8).u32(0x00020004).zeros(4 * words).context(0x00010002);
        auto order = smartcard::decode(call_message(code, n.data())).order;
        EXPECT_EQ(order.kind, Kind::context) << std::hex << code;
        EXPECT_EQ(order.context, 0x00010002u) << std::hex << code;
    }
    // A 4-byte reference names the same context as its 8-byte form, as PC/SC receives it.
    auto four = smartcard::decode(connect_call(ioctl::connectA, "R", 1,
                                               Ndr().u32(static_cast<uint32_t>(kContext)).data()))
                    .order;
    EXPECT_EQ(four.context, kContext);
}

TEST(CallOrder, ReadsTheContextThatTheHandlerGivesPcsc) {
    // The order is read apart from the handler: both must find the same bytes.
    FakePcsc fake;
    for (const Bytes& message :
         {context_call(ioctl::isValidContext, 0x77), list_readers_call(ioctl::listReadersA),
          list_readers_call(ioctl::listReadersW), status_change_call(ioctl::getStatusChangeA, 0x78),
          status_change_call(ioctl::getStatusChangeW, 0x79),
          connect_call(ioctl::connectA, "Reader A", 1),
          connect_call(ioctl::connectW, "Reader A", 2), cache_call(ioctl::readCacheA, 1),
          cache_call(ioctl::readCacheW, 2)}) {
        fake.calls.clear();
        relay(message);
        ASSERT_FALSE(fake.calls.empty()) << to_hex(message);
        EXPECT_EQ(fake.calls.front().target, smartcard::decode(message).order.context)
            << fake.calls.front().function;
    }
}

TEST(CallOrder, CallsWithoutAReadableContextWaitForNothing) {
    const Bytes establish = call_message(ioctl::establishContext, Ndr().u32(2).data());
    const Bytes unsupported = call_message(ioctl::introduceReaderGroupA, {});
    const Bytes access_started = call_message(ioctl::accessStartedEvent, Ndr().u32(0).data());
    const Bytes unknown = call_message(0x000900E4, Ndr().u32(8).u32(1).context(kContext).data());
    // The context is there, but the call is short: it is refused without reaching PC/SC, so it
    // waits for nothing.
    Bytes cut = handle_call(ioctl::transmit, 8);
    cut.resize(cut.size() - 4);
    Bytes lying_name = connect_call(ioctl::connectA, "Reader A", 1);
    lying_name[30 + 20 + 8] = 0xFF;  // actual count far past the message
    const Bytes sixteen_byte_reference = call_message(
        ioctl::isValidContext, Ndr().u32(16).u32(0x00020000).array(Bytes(16, 1)).data());
    const Bytes header_only = call_message(ioctl::getStatusChangeA, {});
    // ListReaders may name no context: it lists with one of the agent's own.
    const Bytes no_context_list = call_message(
        ioctl::listReadersW, Ndr().u32(0).u32(0).u32(0).u32(0).u32(0).u32(0xFFFFFFFF).data());
    for (const Bytes& message : {establish, unsupported, access_started, unknown, lying_name,
                                 sixteen_byte_reference, header_only, no_context_list, cut}) {
        auto order = smartcard::decode(message).order;
        EXPECT_EQ(order.kind, Kind::independent) << to_hex(message);
    }
    // Only the 14 bytes up to CompletionId are promised.
    EXPECT_EQ(smartcard::decode(Bytes{3, 3, 0xB8, 0, 9, 0, 1, 0, 0, 0, 2, 0, 0, 0}).order.kind,
              Kind::independent);
}

}  // namespace
}  // namespace kx_agent::test
